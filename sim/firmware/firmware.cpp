// The simulated firmware: the firmware API over a host folder that stands for
// the device's disk, with a call trace, heap accounting and fault injection.
#include "firmware.h"

#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <optional>
#include <set>

#include "fwdata.h"
#include "tap.h"

struct TapFile {
  int fd;
  uint32_t id;
  std::string name;
};

namespace sim {
namespace {

constexpr char kTaskPrefix[] = "/mnt/hd";
static_assert(sizeof(kTaskPrefix) - 1 == TAP_DIR_PREFIX_LEN, "prefix is 7 characters");
constexpr uint8_t kFreshHeapByte = 0xA5;  // new blocks are not zero: the module must clear them

std::string quote(const char* s) {
  if (s == nullptr) return "null";
  std::string out = "\"";
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(s); *p; ++p) {
    if (*p == '"' || *p == '\\') {
      out += '\\';
      out += static_cast<char>(*p);
    } else if (*p >= 0x20 && *p < 0x7F) {
      out += static_cast<char>(*p);
    } else {
      char hex[8];
      snprintf(hex, sizeof hex, "\\x%02X", *p);
      out += hex;
    }
  }
  return out + "\"";
}

class FirmwareImpl final : public Firmware {
 public:
  struct Block {
    uint32_t id;
    size_t size;
  };

  // Blocks and files still live when the program ends are the firmware's to
  // give back, so that a leak checker sees only what the module leaks.
  ~FirmwareImpl() { releaseAll(); }

  // --- control interface ---------------------------------------------------
  void reset(const std::string& disk) override {
    releaseAll();
    disk_ = disk;
    while (disk_.size() > 1 && disk_.back() == '/') disk_.pop_back();
    stats_ = {};
    nextBlock_ = nextFile_ = 1;
    trace_.clear();
    counts_.clear();
    faults_.clear();
    lengths_.clear();
    printed_.clear();
    success_ = 0;
    sleepsLeft_ = 0;
    setCwd("/");
  }
  std::string disk() const override { return disk_; }
  void setChangeDirSuccess(int32_t value) override { success_ = static_cast<dword>(value); }
  bool setCurrentDir(const std::string& path) override {
    auto resolved = resolve(path.c_str());
    if (!resolved || !isDir(*resolved)) return false;
    setCwd(*resolved);
    return true;
  }
  std::string currentDir() const override { return cwd_; }
  const char* taskDirectory() const override { return taskDir_; }
  void failCall(const std::string& entry, uint32_t nth) override { faults_.insert({entry, nth}); }
  void reportLength(const std::string& name, uint32_t length) override { lengths_[name] = length; }
  void exitAfterSleeps(uint32_t count, int code) override {
    sleepsLeft_ = count;
    sleepExitCode_ = code;
  }
  const std::vector<std::string>& trace() const override { return trace_; }
  void clearTrace() override { trace_.clear(); }
  uint32_t callCount(const std::string& entry) const override {
    auto it = counts_.find(entry);
    return it == counts_.end() ? 0 : it->second;
  }
  MemoryStats memory() const override { return stats_; }
  uint32_t openFiles() const override { return static_cast<uint32_t>(files_.size()); }
  std::string printed() const override { return printed_; }

  // --- firmware API ----------------------------------------------------------
  void* memAlloc(dword size) {
    const bool fault = faulted("TAP_MemAlloc");
    void* p = nullptr;
    if (!fault && (p = malloc(size ? size : 1)) != nullptr) {
      memset(p, kFreshHeapByte, size);
      blocks_[p] = {nextBlock_++, size};
      ++stats_.allocations;
      ++stats_.liveBlocks;
      stats_.liveBytes += size;
      if (stats_.liveBytes > stats_.peakBytes) stats_.peakBytes = stats_.liveBytes;
    }
    record("TAP_MemAlloc(" + std::to_string(size) + ") = " + describe(p), fault);
    return p;
  }
  int32_t memFree(const void* block) {
    std::string what = describe(block);
    auto it = blocks_.find(const_cast<void*>(block));
    if (it == blocks_.end()) {
      ++stats_.badFrees;
      what += " (no live block)";
    } else {
      --stats_.liveBlocks;
      stats_.liveBytes -= it->second.size;
      free(it->first);
      blocks_.erase(it);
    }
    count("TAP_MemFree");
    record("TAP_MemFree(" + what + ")", false);
    return 0;
  }
  void memSet(void* block, uint8_t value, dword size) {
    count("TAP_MemSet");
    record("TAP_MemSet(" + describe(block) + ", " + std::to_string(value) + ", " + std::to_string(size) + ")", false);
    memset(block, value, size);
  }
  void memCpy(void* dest, const void* src, dword n) {
    count("TAP_MemCpy");
    record("TAP_MemCpy(" + describe(dest) + ", " + describe(src) + ", " + std::to_string(n) + ")", false);
    memmove(dest, src, n);
  }
  int32_t sprint(char* buffer, const char* format, va_list args) {
    count("TAP_SPrint");
    const int n = vsprintf(buffer, format, args);
    record("TAP_SPrint(" + quote(format) + ") -> " + quote(buffer), false);
    return n;
  }
  int32_t print(const char* format, va_list args) {
    count("TAP_Print");
    char text[4096];
    const int n = vsnprintf(text, sizeof text, format, args);
    printed_ += text;
    record("TAP_Print(" + quote(text) + ")", false);
    return n;
  }
  void sleep(dword duration) {
    count("TAP_Sleep");
    record("TAP_Sleep(" + std::to_string(duration) + ")", false);
    if (sleepsLeft_ > 0 && --sleepsLeft_ == 0) _exit(sleepExitCode_);
  }

  dword exist(const char* name) {
    const bool fault = faulted("TAP_Hdd_Exist");
    auto path = resolve(name);
    struct stat st;
    dword found = path && lstat(host(*path).c_str(), &st) == 0 ? 1 : 0;
    if (fault) found = !found;
    record("TAP_Hdd_Exist(" + quote(name) + ") = " + std::to_string(found), fault);
    return found;
  }
  dword create(const char* name, dword attr) {
    const bool fault = faulted("TAP_Hdd_Create");
    auto path = resolve(name);
    bool done = false;
    if (!fault && path) {
      if (attr == ATTR_FOLDER) {
        done = mkdir(host(*path).c_str(), 0755) == 0;
      } else {
        const int fd = ::open(host(*path).c_str(), O_CREAT | O_EXCL | O_WRONLY, 0644);
        if (fd >= 0) {
          close(fd);
          done = true;
        }
      }
    }
    char hexAttr[16];
    snprintf(hexAttr, sizeof hexAttr, "0x%X", attr);
    record("TAP_Hdd_Create(" + quote(name) + ", " + hexAttr + ") = " + std::to_string(done), fault);
    return done;
  }
  dword remove(const char* name) {
    const bool fault = faulted("TAP_Hdd_Delete");
    auto path = resolve(name);
    bool done = false;
    if (!fault && path && *path != "/") {
      const std::string h = host(*path);
      done = isDir(*path) ? rmdir(h.c_str()) == 0 : unlink(h.c_str()) == 0;
    }
    record("TAP_Hdd_Delete(" + quote(name) + ") = " + std::to_string(done), fault);
    return done;
  }
  dword changeDir(const char* path) {
    const bool fault = faulted("TAP_Hdd_ChangeDir");
    auto resolved = resolve(path);
    const bool ok = !fault && resolved && isDir(*resolved);
    if (ok) setCwd(*resolved);
    const dword result = ok ? success_ : failureValue();
    record("TAP_Hdd_ChangeDir(" + quote(path) + ") = " + std::to_string(static_cast<int32_t>(result)), fault);
    return result;
  }
  TapFile* fopen(const char* name) {
    const bool fault = faulted("TAP_Hdd_Fopen");
    auto path = resolve(name);
    TapFile* file = nullptr;
    struct stat st;
    if (!fault && path && lstat(host(*path).c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      const int fd = ::open(host(*path).c_str(), O_RDWR);
      if (fd >= 0) {
        file = new TapFile{fd, nextFile_++, baseName(*path)};
        files_[file] = file->id;
      }
    }
    record("TAP_Hdd_Fopen(" + quote(name) + ") = " + describeFile(file), fault);
    return file;
  }
  dword flen(TapFile* file) {
    const bool fault = faulted("TAP_Hdd_Flen");
    dword length = 0;
    if (fault) {
      length = 0xFFFFFFFFu;
    } else if (files_.count(file)) {
      struct stat st;
      if (fstat(file->fd, &st) == 0) length = static_cast<dword>(st.st_size);
      auto it = lengths_.find(file->name);
      if (it != lengths_.end()) length = it->second;
    }
    record("TAP_Hdd_Flen(" + describeFile(file) + ") = " + std::to_string(length), fault);
    return length;
  }
  // A failing read delivers half of what was asked for and answers 0.
  dword fread(void* buffer, dword size, dword count, TapFile* file) {
    const bool fault = faulted("TAP_Hdd_Fread");
    const uint64_t wanted = static_cast<uint64_t>(size) * count;
    dword blocks = 0;
    if (files_.count(file)) {
      const uint64_t got = transfer(file->fd, buffer, fault ? wanted / 2 : wanted, false);
      blocks = fault ? 0 : (size == 0 ? count : static_cast<dword>(got / size));
    }
    record("TAP_Hdd_Fread(" + describe(buffer) + ", " + std::to_string(size) + ", " + std::to_string(count) + ", " +
               describeFile(file) + ") = " + std::to_string(blocks),
           fault);
    return blocks;
  }
  // A failing write writes nothing and answers 0.
  dword fwrite(void* buffer, dword size, dword count, TapFile* file) {
    const bool fault = faulted("TAP_Hdd_Fwrite");
    const uint64_t wanted = static_cast<uint64_t>(size) * count;
    dword blocks = 0;
    if (!fault && files_.count(file)) {
      const uint64_t put = transfer(file->fd, buffer, wanted, true);
      blocks = size == 0 ? count : static_cast<dword>(put / size);
    }
    record("TAP_Hdd_Fwrite(" + describe(buffer) + ", " + std::to_string(size) + ", " + std::to_string(count) + ", " +
               describeFile(file) + ") = " + std::to_string(blocks),
           fault);
    return blocks;
  }
  void fclose(TapFile* file) {
    count("TAP_Hdd_Fclose");
    const std::string what = describeFile(file);
    auto it = files_.find(file);
    if (it != files_.end()) {
      close(file->fd);
      files_.erase(it);
      delete file;
    }
    record("TAP_Hdd_Fclose(" + what + ")", false);
  }

 private:
  // Counts a call of ENTRY and answers whether it is to fail.
  void releaseAll() {
    for (auto& [p, b] : blocks_) free(p);
    for (auto& [f, id] : files_) {
      close(f->fd);
      delete f;
    }
    blocks_.clear();
    files_.clear();
  }
  bool faulted(const std::string& entry) {
    const uint32_t n = count(entry);
    return faults_.count({entry, n}) > 0 || faults_.count({entry, 0}) > 0;
  }
  uint32_t count(const std::string& entry) { return ++counts_[entry]; }
  void record(std::string line, bool fault) {
    if (fault) line += " [fault]";
    trace_.push_back(std::move(line));
  }
  dword failureValue() const { return success_ == 0 ? 0xFFFFFFFFu : 0; }

  // A disk path resolved against the current directory, normalised to
  // "/a/b"; none when it would leave the disk ("..") or pass a symbolic link.
  std::optional<std::string> resolve(const char* path) const {
    if (path == nullptr || disk_.empty()) return std::nullopt;
    std::string out = path[0] == '/' ? "" : (cwd_ == "/" ? "" : cwd_);
    const char* p = path;
    while (*p) {
      while (*p == '/') ++p;
      const char* start = p;
      while (*p && *p != '/') ++p;
      const std::string part(start, p);
      if (part.empty() || part == ".") continue;
      if (part == "..") return std::nullopt;
      out += "/" + part;
      struct stat st;
      if (lstat(host(out).c_str(), &st) == 0 && S_ISLNK(st.st_mode)) return std::nullopt;
    }
    return out.empty() ? "/" : out;
  }
  std::string host(const std::string& diskPath) const { return diskPath == "/" ? disk_ : disk_ + diskPath; }
  bool isDir(const std::string& diskPath) const {
    struct stat st;
    return lstat(host(diskPath).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  }
  static std::string baseName(const std::string& diskPath) { return diskPath.substr(diskPath.rfind('/') + 1); }
  void setCwd(const std::string& path) {
    cwd_ = path;
    snprintf(taskDir_, sizeof taskDir_, "%s%s", kTaskPrefix, cwd_.c_str());
  }
  static uint64_t transfer(int fd, void* buffer, uint64_t n, bool writing) {
    uint64_t done = 0;
    char* p = static_cast<char*>(buffer);
    while (done < n) {
      const ssize_t r = writing ? ::write(fd, p + done, n - done) : ::read(fd, p + done, n - done);
      if (r <= 0) break;
      done += static_cast<uint64_t>(r);
    }
    return done;
  }
  std::string describe(const void* p) const {
    if (p == nullptr) return "0";
    auto it = blocks_.upper_bound(const_cast<void*>(p));
    if (it != blocks_.begin()) {
      --it;
      const size_t offset = static_cast<const char*>(p) - static_cast<const char*>(it->first);
      if (static_cast<const char*>(p) >= static_cast<const char*>(it->first) && offset <= it->second.size)
        return "#" + std::to_string(it->second.id) + (offset ? "+" + std::to_string(offset) : "");
    }
    return "ptr";
  }
  std::string describeFile(const TapFile* file) const {
    if (file == nullptr) return "0";
    auto it = files_.find(const_cast<TapFile*>(file));
    return it == files_.end() ? "bad-handle" : "@" + std::to_string(it->second);
  }

  std::string disk_;
  std::string cwd_ = "/";
  char taskDir_[4096] = {};
  dword success_ = 0;
  std::map<void*, Block> blocks_;
  std::map<TapFile*, uint32_t> files_;
  uint32_t nextBlock_ = 1, nextFile_ = 1;
  MemoryStats stats_;
  std::vector<std::string> trace_;
  std::map<std::string, uint32_t> counts_;
  std::set<std::pair<std::string, uint32_t>> faults_;
  std::map<std::string, uint32_t> lengths_;
  std::string printed_;
  uint32_t sleepsLeft_ = 0;
  int sleepExitCode_ = 0;
};

FirmwareImpl& fw() {
  static FirmwareImpl instance;
  return instance;
}

// The firmware routines behind the API entries.
void* memAlloc(dword size) { return fw().memAlloc(size); }
int32_t memFree(const void* block) { return fw().memFree(block); }
void memSet(void* block, uint8_t value, dword size) { fw().memSet(block, value, size); }
void memCpy(void* dest, const void* src, dword n) { fw().memCpy(dest, src, n); }
int32_t sprint(char* buffer, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int32_t n = fw().sprint(buffer, format, args);
  va_end(args);
  return n;
}
int32_t print(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int32_t n = fw().print(format, args);
  va_end(args);
  return n;
}
void sleep(dword duration) { fw().sleep(duration); }
dword exist(const char* name) { return fw().exist(name); }
dword create(const char* name, dword attr) { return fw().create(name, attr); }
dword remove(const char* name) { return fw().remove(name); }
dword changeDir(const char* path) { return fw().changeDir(path); }
TapFile* fopen(const char* name) { return fw().fopen(name); }
dword flen(TapFile* file) { return fw().flen(file); }
dword fread(void* b, dword size, dword count, TapFile* f) { return fw().fread(b, size, count, f); }
dword fwrite(void* b, dword size, dword count, TapFile* f) { return fw().fwrite(b, size, count, f); }
void fclose(TapFile* file) { fw().fclose(file); }

}  // namespace
}  // namespace sim

extern "C" {

sim::Firmware* simfw_firmware() { return &sim::fw(); }

void* (*TAP_MemAlloc)(dword) = sim::memAlloc;
int32_t (*TAP_MemFree)(const void*) = sim::memFree;
void (*TAP_MemSet)(void*, uint8_t, dword) = sim::memSet;
void (*TAP_MemCpy)(void*, const void*, dword) = sim::memCpy;
int32_t (*TAP_SPrint)(char*, const char*, ...) = sim::sprint;
int32_t (*TAP_Print)(const char*, ...) = sim::print;
void (*TAP_Sleep)(dword) = sim::sleep;
dword (*TAP_Hdd_Exist)(const char*) = sim::exist;
dword (*TAP_Hdd_Create)(const char*, dword) = sim::create;
dword (*TAP_Hdd_Delete)(const char*) = sim::remove;
dword (*TAP_Hdd_ChangeDir)(const char*) = sim::changeDir;
TYPE_File* (*TAP_Hdd_Fopen)(const char*) = sim::fopen;
dword (*TAP_Hdd_Flen)(TYPE_File*) = sim::flen;
dword (*TAP_Hdd_Fread)(void*, dword, dword, TYPE_File*) = sim::fread;
dword (*TAP_Hdd_Fwrite)(void*, dword, dword, TYPE_File*) = sim::fwrite;
void (*TAP_Hdd_Fclose)(TYPE_File*) = sim::fclose;

}  // extern "C"
