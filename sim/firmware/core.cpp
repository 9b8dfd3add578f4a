// The simulated firmware's routines over a host folder that stands for the
// device's disk (core.h). Heap blocks and open files are malloc'd nodes on
// lists; paths are built in fixed buffers the size the C library accepts.
#include "core.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fwdata.h"

// An open file of the disk: the handle the module holds.
struct TapFile {
  TapFile* next;
  int fd;
  uint32_t id;
  char name[256];  // the base name, which reported lengths go by
};

namespace sim::core {
namespace {

constexpr char kTaskPrefix[] = "/mnt/hd";
static_assert(sizeof(kTaskPrefix) - 1 == TAP_DIR_PREFIX_LEN, "prefix is 7 characters");
constexpr uint8_t kFreshHeapByte = 0xA5;  // new blocks are not zero: the module must clear them
// A host path the C library takes: PATH_MAX bytes with the terminator.
constexpr size_t kPathMax = 4096;

// Each entry's name, and whether the hooks can make it fail: the routines
// below that ask faulted() (core.h says how each fails).
struct EntryFacts {
  const char* name;
  bool canFail;
};
const EntryFacts kEntries[kEntryCount] = {
    {"TAP_MemAlloc", true},   {"TAP_MemFree", false},   {"TAP_MemSet", false},       {"TAP_MemCpy", false},
    {"TAP_SPrint", false},    {"TAP_Print", false},     {"TAP_Sleep", false},        {"TAP_Hdd_Exist", true},
    {"TAP_Hdd_Create", true}, {"TAP_Hdd_Delete", true}, {"TAP_Hdd_ChangeDir", true}, {"TAP_Hdd_Fopen", true},
    {"TAP_Hdd_Flen", true},   {"TAP_Hdd_Fread", true},  {"TAP_Hdd_Fwrite", true},    {"TAP_Hdd_Fclose", false},
};

// A live heap block. The module's bytes are a malloc'd block of their own, so
// that a memory checker catches an access just before or after them.
struct Block {
  Block* next;
  char* data;
  uint32_t size;
  uint32_t id;
};

struct State {
  Hooks hooks;
  char disk[kPathMax];  // the disk's host folder, no trailing '/'; empty for none
  size_t diskLength;
  char cwd[kPathMax] = "/";  // disk path of the current directory
  char taskDir[TAP_DIR_PREFIX_LEN + kPathMax];
  dword success;
  Block* blocks;
  TapFile* files;
  uint32_t nextBlock, nextFile;
  MemoryStats stats;
  uint32_t counts[kEntryCount];
  uint32_t sleepsLeft;
  int sleepExitCode;
};
State state{};  // constant: no constructor runs at load

// A disk path resolved to its host path: the disk folder, then "/a/b".
struct Path {
  char host[kPathMax];
  size_t length;
  bool isRoot() const { return length == state.diskLength; }
  const char* diskPath() const { return isRoot() ? "/" : host + state.diskLength; }
};

bool append(Path& path, const char* s, size_t n) {
  if (n >= sizeof path.host - path.length) return false;
  memcpy(path.host + path.length, s, n);
  path.length += n;
  path.host[path.length] = '\0';
  return true;
}

// Resolves PATH against the current directory, normalised to "/a/b"; false
// when there is no disk, or PATH would leave it (".."), passes a symbolic
// link or is too long for the C library.
bool resolve(const char* path, Path& out) {
  if (path == nullptr || state.diskLength == 0) return false;
  out.length = 0;
  if (!append(out, state.disk, state.diskLength)) return false;
  if (path[0] != '/' && strcmp(state.cwd, "/") != 0 && !append(out, state.cwd, strlen(state.cwd))) return false;
  for (const char* p = path; *p;) {
    while (*p == '/') ++p;
    const char* start = p;
    while (*p && *p != '/') ++p;
    const size_t n = static_cast<size_t>(p - start);
    if (n == 0 || (n == 1 && start[0] == '.')) continue;
    if (n == 2 && start[0] == '.' && start[1] == '.') return false;
    if (!append(out, "/", 1) || !append(out, start, n)) return false;
    struct stat st;
    if (lstat(out.host, &st) == 0 && S_ISLNK(st.st_mode)) return false;
  }
  return true;
}

bool isDir(const Path& path) {
  struct stat st;
  return lstat(path.host, &st) == 0 && S_ISDIR(st.st_mode);
}

void setCwd(const char* diskPath) {
  snprintf(state.cwd, sizeof state.cwd, "%s", diskPath);
  snprintf(state.taskDir, sizeof state.taskDir, "%s%s", kTaskPrefix, state.cwd);
}

dword failureValue() { return state.success == 0 ? 0xFFFFFFFFu : 0; }

uint32_t count(Entry entry) { return ++state.counts[entry]; }

// Counts a call of ENTRY, one that can fail, and answers whether it is to fail.
bool faulted(Entry entry) {
  const uint32_t nth = count(entry);
  return kEntries[entry].canFail && state.hooks.fails != nullptr && state.hooks.fails(state.hooks.context, entry, nth);
}

// The live block holding P, its end included, and P's offset in it; null for none.
Block* blockHolding(const void* p, uint32_t& offset) {
  const uintptr_t address = reinterpret_cast<uintptr_t>(p);
  Block* holder = nullptr;
  for (Block* b = state.blocks; b != nullptr; b = b->next) {
    const uintptr_t start = reinterpret_cast<uintptr_t>(b->data);
    if (start <= address && (holder == nullptr || start > reinterpret_cast<uintptr_t>(holder->data))) holder = b;
  }
  if (holder == nullptr || address - reinterpret_cast<uintptr_t>(holder->data) > holder->size) return nullptr;
  offset = static_cast<uint32_t>(address - reinterpret_cast<uintptr_t>(holder->data));
  return holder;
}

// FILE if it is an open file, else null.
TapFile* findFile(const TapFile* file) {
  TapFile* f = state.files;
  while (f != nullptr && f != file) f = f->next;
  return f;
}

Value numberValue(uint32_t n, ValueKind kind = ValueKind::Number) { return {kind, false, n, 0, nullptr}; }
Value textValue(const char* s) { return {ValueKind::Text, s == nullptr, 0, 0, s}; }
Value blockValue(const void* p) {
  Value v = {ValueKind::Block, p == nullptr, 0, 0, nullptr};
  if (p != nullptr)
    if (const Block* b = blockHolding(p, v.offset)) v.number = b->id;
  return v;
}
Value handleValue(const TapFile* file) {
  const TapFile* f = findFile(file);
  return {ValueKind::Handle, file == nullptr, f != nullptr ? f->id : 0, 0, nullptr};
}

// A call's record, built argument by argument and handed to the record hook.
class Record {
 public:
  Record(Entry entry, bool fault) {
    call_.entry = entry;
    call_.fault = fault;
  }
  Record& arg(const Value& v) {
    if (call_.argCount < sizeof call_.args / sizeof call_.args[0]) call_.args[call_.argCount++] = v;
    return *this;
  }
  void result(const Value& v) {
    call_.hasResult = true;
    call_.result = v;
    send();
  }
  void send() const {
    if (state.hooks.record != nullptr) state.hooks.record(state.hooks.context, call_);
  }

 private:
  Call call_ = {};
};

// A new live block of SIZE bytes, not zero; null when the heap has no room.
void* newBlock(dword size) {
  Block* b = static_cast<Block*>(malloc(sizeof(Block)));
  char* data = static_cast<char*>(malloc(size ? size : 1));
  if (b == nullptr || data == nullptr) {
    free(b);
    free(data);
    return nullptr;
  }
  memset(data, kFreshHeapByte, size);
  *b = {state.blocks, data, size, state.nextBlock++};
  state.blocks = b;
  ++state.stats.allocations;
  ++state.stats.liveBlocks;
  state.stats.liveBytes += size;
  if (state.stats.liveBytes > state.stats.peakBytes) state.stats.peakBytes = state.stats.liveBytes;
  return data;
}

// Opens the regular file at PATH as a new handle; null when it cannot.
TapFile* newFile(const Path& path) {
  struct stat st;
  if (lstat(path.host, &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
  TapFile* file = static_cast<TapFile*>(malloc(sizeof(TapFile)));
  if (file == nullptr) return nullptr;
  file->fd = ::open(path.host, O_RDWR);
  if (file->fd < 0) {
    free(file);
    return nullptr;
  }
  const char* diskPath = path.diskPath();
  snprintf(file->name, sizeof file->name, "%s", strrchr(diskPath, '/') + 1);
  file->id = state.nextFile++;
  file->next = state.files;
  state.files = file;
  return file;
}

uint64_t transfer(int fd, void* buffer, uint64_t n, bool writing) {
  uint64_t done = 0;
  char* p = static_cast<char*>(buffer);
  while (done < n) {
    const ssize_t r = writing ? ::write(fd, p + done, n - done) : ::read(fd, p + done, n - done);
    if (r <= 0) break;
    done += static_cast<uint64_t>(r);
  }
  return done;
}

// Records a read or a write of COUNT blocks of SIZE bytes at BUFFER, with
// FILE, that moved BLOCKS; answers BLOCKS.
dword recordTransfer(Entry entry, bool fault, const void* buffer, dword size, dword count, const TapFile* file,
                     dword blocks) {
  Record(entry, fault)
      .arg(blockValue(buffer))
      .arg(numberValue(size))
      .arg(numberValue(count))
      .arg(handleValue(file))
      .result(numberValue(blocks));
  return blocks;
}

}  // namespace

const char* entryName(Entry entry) { return entry < kEntryCount ? kEntries[entry].name : "?"; }

bool canFail(Entry entry) { return entry < kEntryCount && kEntries[entry].canFail; }

bool entryNamed(const char* name, Entry* entry) {
  for (int e = 0; e < kEntryCount; ++e)
    if (strcmp(name, kEntries[e].name) == 0) {
      *entry = static_cast<Entry>(e);
      return true;
    }
  return false;
}

void setHooks(const Hooks& hooks) { state.hooks = hooks; }

void reset(const char* disk) {
  releaseAll();
  size_t n = disk != nullptr ? strlen(disk) : 0;
  while (n > 1 && disk[n - 1] == '/') --n;
  if (n >= sizeof state.disk) n = 0;
  memcpy(state.disk, disk, n);
  state.disk[n] = '\0';
  state.diskLength = n;
  state.stats = MemoryStats();
  state.nextBlock = state.nextFile = 1;
  memset(state.counts, 0, sizeof state.counts);
  state.success = 0;
  state.sleepsLeft = 0;
  setCwd("/");
}

void releaseAll() {
  while (Block* b = state.blocks) {
    state.blocks = b->next;
    free(b->data);
    free(b);
  }
  while (TapFile* f = state.files) {
    state.files = f->next;
    close(f->fd);
    free(f);
  }
}

void setChangeDirSuccess(dword value) { state.success = value; }

bool setCurrentDir(const char* path) {
  Path resolved;
  if (!resolve(path, resolved) || !isDir(resolved)) return false;
  setCwd(resolved.diskPath());
  return true;
}

const char* currentDir() { return state.cwd; }
const char* taskDirectory() { return state.taskDir; }

void exitAfterSleeps(uint32_t count, int code) {
  state.sleepsLeft = count;
  state.sleepExitCode = code;
}

uint32_t callCount(Entry entry) { return entry < kEntryCount ? state.counts[entry] : 0; }
MemoryStats memory() { return state.stats; }

uint32_t openFiles() {
  uint32_t n = 0;
  for (const TapFile* f = state.files; f != nullptr; f = f->next) ++n;
  return n;
}

// --- the routines ------------------------------------------------------------

void* memAlloc(dword size) {
  const bool fault = faulted(kMemAlloc);
  void* p = fault ? nullptr : newBlock(size);
  Record(kMemAlloc, fault).arg(numberValue(size)).result(blockValue(p));
  return p;
}

// Frees the live block BLOCK points at the start of; any other pointer is a bad free.
int32_t memFree(const void* block) {
  count(kMemFree);
  const Value what = blockValue(block);
  Block** link = &state.blocks;
  while (*link != nullptr && (*link)->data != block) link = &(*link)->next;
  if (Block* b = *link) {
    *link = b->next;
    --state.stats.liveBlocks;
    state.stats.liveBytes -= b->size;
    free(b->data);
    free(b);
  } else {
    ++state.stats.badFrees;
  }
  Record(kMemFree, false).arg(what).send();
  return 0;
}

void memSet(void* block, uint8_t value, dword size) {
  count(kMemSet);
  Record(kMemSet, false).arg(blockValue(block)).arg(numberValue(value)).arg(numberValue(size)).send();
  memset(block, value, size);
}

void memCpy(void* dest, const void* src, dword n) {
  count(kMemCpy);
  Record(kMemCpy, false).arg(blockValue(dest)).arg(blockValue(src)).arg(numberValue(n)).send();
  memmove(dest, src, n);
}

int32_t sprint(char* buffer, const char* format, va_list args) {
  count(kSPrint);
  const int n = vsprintf(buffer, format, args);
  Record(kSPrint, false).arg(textValue(format)).result(textValue(buffer));
  return n;
}

int32_t print(const char* format, va_list args) {
  count(kPrint);
  char text[4096];
  const int n = vsnprintf(text, sizeof text, format, args);
  Record(kPrint, false).arg(textValue(text)).send();
  return n;
}

void sleep(dword duration) {
  count(kSleep);
  Record(kSleep, false).arg(numberValue(duration)).send();
  if (state.sleepsLeft > 0 && --state.sleepsLeft == 0) _exit(state.sleepExitCode);
}

dword exist(const char* name) {
  const bool fault = faulted(kHddExist);
  Path path;
  struct stat st;
  dword found = resolve(name, path) && lstat(path.host, &st) == 0 ? 1 : 0;
  if (fault) found = !found;
  Record(kHddExist, fault).arg(textValue(name)).result(numberValue(found));
  return found;
}

dword create(const char* name, dword attr) {
  const bool fault = faulted(kHddCreate);
  Path path;
  bool done = false;
  if (!fault && resolve(name, path)) {
    if (attr == ATTR_FOLDER) {
      done = mkdir(path.host, 0755) == 0;
    } else {
      const int fd = ::open(path.host, O_CREAT | O_EXCL | O_WRONLY, 0644);
      if (fd >= 0) {
        close(fd);
        done = true;
      }
    }
  }
  Record(kHddCreate, fault).arg(textValue(name)).arg(numberValue(attr, ValueKind::Hex)).result(numberValue(done));
  return done;
}

dword remove(const char* name) {
  const bool fault = faulted(kHddDelete);
  Path path;
  bool done = false;
  if (!fault && resolve(name, path) && !path.isRoot())
    done = isDir(path) ? rmdir(path.host) == 0 : unlink(path.host) == 0;
  Record(kHddDelete, fault).arg(textValue(name)).result(numberValue(done));
  return done;
}

dword changeDir(const char* path) {
  const bool fault = faulted(kHddChangeDir);
  Path resolved;
  const bool ok = !fault && resolve(path, resolved) && isDir(resolved);
  if (ok) setCwd(resolved.diskPath());
  const dword result = ok ? state.success : failureValue();
  Record(kHddChangeDir, fault).arg(textValue(path)).result(numberValue(result, ValueKind::Signed));
  return result;
}

TapFile* fopen(const char* name) {
  const bool fault = faulted(kHddFopen);
  Path path;
  TapFile* file = !fault && resolve(name, path) ? newFile(path) : nullptr;
  Record(kHddFopen, fault).arg(textValue(name)).result(handleValue(file));
  return file;
}

dword flen(TapFile* file) {
  const bool fault = faulted(kHddFlen);
  dword length = 0;
  if (fault) {
    length = 0xFFFFFFFFu;
  } else if (findFile(file) != nullptr) {
    struct stat st;
    if (fstat(file->fd, &st) == 0) length = static_cast<dword>(st.st_size);
    uint32_t reported = 0;
    if (state.hooks.reportedLength != nullptr && state.hooks.reportedLength(state.hooks.context, file->name, &reported))
      length = reported;
  }
  Record(kHddFlen, fault).arg(handleValue(file)).result(numberValue(length));
  return length;
}

// A failing read delivers half of what was asked for and answers 0.
dword fread(void* buffer, dword size, dword count, TapFile* file) {
  const bool fault = faulted(kHddFread);
  const uint64_t wanted = static_cast<uint64_t>(size) * count;
  dword blocks = 0;
  if (findFile(file) != nullptr) {
    const uint64_t got = transfer(file->fd, buffer, fault ? wanted / 2 : wanted, false);
    blocks = fault ? 0 : (size == 0 ? count : static_cast<dword>(got / size));
  }
  return recordTransfer(kHddFread, fault, buffer, size, count, file, blocks);
}

// A failing write writes nothing and answers 0.
dword fwrite(void* buffer, dword size, dword count, TapFile* file) {
  const bool fault = faulted(kHddFwrite);
  const uint64_t wanted = static_cast<uint64_t>(size) * count;
  dword blocks = 0;
  if (!fault && findFile(file) != nullptr) {
    const uint64_t put = transfer(file->fd, buffer, wanted, true);
    blocks = size == 0 ? count : static_cast<dword>(put / size);
  }
  return recordTransfer(kHddFwrite, fault, buffer, size, count, file, blocks);
}

void fclose(TapFile* file) {
  count(kHddFclose);
  const Value what = handleValue(file);
  TapFile** link = &state.files;
  while (*link != nullptr && *link != file) link = &(*link)->next;
  if (*link != nullptr) {
    *link = file->next;
    close(file->fd);
    free(file);
  }
  Record(kHddFclose, false).arg(what).send();
}

}  // namespace sim::core
