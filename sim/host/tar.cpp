#include "tar.h"

#include <string.h>

#include <algorithm>

namespace sim::tar {
namespace {

constexpr size_t kBlock = 512;
// The longest name a GNU long-name entry may give.
constexpr size_t kLongestName = 4096;

// Where the fields of a header lie.
constexpr size_t kName = 0, kMode = 100, kSize = 124, kMtime = 136, kChecksum = 148, kType = 156, kMagic = 257,
                 kPrefix = 345;

void putOctal(char* field, size_t width, uint64_t value) {
  // WIDTH - 1 digits and a zero byte.
  for (size_t i = width - 1; i-- > 0; value >>= 3) field[i] = static_cast<char>('0' + (value & 7));
}

unsigned checksum(const unsigned char* header) {
  unsigned sum = 0;
  for (size_t i = 0; i < kBlock; ++i) sum += i >= kChecksum && i < kChecksum + 8 ? ' ' : header[i];
  return sum;
}

// An octal field: digits, then blanks or zero bytes; false for anything else.
bool getOctal(const char* field, size_t width, uint64_t& value) {
  size_t i = 0;
  while (i < width && field[i] == ' ') ++i;
  value = 0;
  size_t digits = 0;
  for (; i < width && field[i] >= '0' && field[i] <= '7'; ++i, ++digits) value = value * 8 + (field[i] - '0');
  for (; i < width; ++i)
    if (field[i] != ' ' && field[i] != '\0') return false;
  return digits > 0 && digits <= 11;
}

std::string field(const char* header, size_t at, size_t width) {
  return std::string(header + at, strnlen(header + at, width));
}

// NAME as an entry's path: "./" and a trailing "/" dropped; false when it
// is absolute, empty or has an empty, "." or ".." part.
bool cleanPath(std::string name, std::string& path) {
  while (name.compare(0, 2, "./") == 0) name.erase(0, 2);
  while (!name.empty() && name.back() == '/') name.pop_back();
  if (name.empty() || name[0] == '/' || name.find('\0') != std::string::npos) return false;
  for (size_t start = 0;;) {
    const size_t slash = name.find('/', start);
    const std::string part = name.substr(start, slash - start);
    if (part.empty() || part == "." || part == "..") return false;
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  path = name;
  return true;
}

}  // namespace

bool append(std::string& archive, const Entry& entry, std::string& error) {
  char header[kBlock] = {};
  const std::string name = entry.kind == Kind::Folder ? entry.path + "/" : entry.path;
  size_t split = 0;  // where the name field starts within NAME
  if (name.size() > 100) {
    split = name.rfind('/', name.size() - 2);
    while (split != std::string::npos && (split > 155 || name.size() - split - 1 > 100))
      split = split == 0 ? std::string::npos : name.rfind('/', split - 1);
    if (split == std::string::npos || split > 155 || name.size() - split - 1 > 100) {
      error = "the path " + entry.path + " is too long for the disk channel";
      return false;
    }
    memcpy(header + kPrefix, name.data(), split);
    ++split;
  }
  memcpy(header + kName, name.data() + split, name.size() - split);
  putOctal(header + kMode, 8, entry.kind == Kind::Folder ? 0755 : 0644);
  putOctal(header + 108, 8, 0);
  putOctal(header + 116, 8, 0);
  putOctal(header + kSize, 12, entry.kind == Kind::File ? entry.bytes.size() : 0);
  putOctal(header + kMtime, 12, 0);
  header[kType] = entry.kind == Kind::Folder ? '5' : '0';
  memcpy(header + kMagic,
         "ustar\0"
         "00",
         8);
  putOctal(header + kChecksum, 7, checksum(reinterpret_cast<unsigned char*>(header)));
  header[kChecksum + 7] = ' ';
  archive.append(header, kBlock);
  if (entry.kind == Kind::File) {
    archive += entry.bytes;
    archive.append((kBlock - entry.bytes.size() % kBlock) % kBlock, '\0');
  }
  return true;
}

void finish(std::string& archive) { archive.append(2 * kBlock, '\0'); }

bool read(const char* data, size_t size, size_t maxEntries, uint64_t maxBytes, std::vector<Entry>& entries,
          std::string& error) {
  static const char zeros[kBlock] = {};
  uint64_t bytes = 0;
  std::string longName;
  bool haveLongName = false;
  for (size_t at = 0; at + kBlock <= size;) {
    const char* header = data + at;
    if (memcmp(header, zeros, kBlock) == 0) break;
    const std::string where = " at byte " + std::to_string(at);
    uint64_t sum = 0, length = 0;
    if (!getOctal(header + kChecksum, 8, sum) || sum != checksum(reinterpret_cast<const unsigned char*>(header)) ||
        !getOctal(header + kSize, 12, length)) {
      error = "no tar header" + where;
      return false;
    }
    at += kBlock;
    if (length > size - at) {
      error = "an entry runs past the end of the archive" + where;
      return false;
    }
    const char type = header[kType];
    const char* body = data + at;
    at += (length + kBlock - 1) / kBlock * kBlock;
    if (type == 'L') {
      if (length > kLongestName) {
        error = "a long name of " + std::to_string(length) + " bytes" + where;
        return false;
      }
      longName.assign(body, strnlen(body, length));
      haveLongName = true;
      continue;
    }
    std::string name = field(header, kName, 100);
    if (haveLongName)
      name = longName;
    else if (memcmp(header + kMagic, "ustar\0", 6) == 0 && header[kPrefix] != '\0')
      name = field(header, kPrefix, 155) + "/" + name;
    haveLongName = false;
    Entry entry;
    entry.type = type;
    entry.kind = type == '0' || type == '\0' ? Kind::File : type == '5' ? Kind::Folder : Kind::Other;
    if (!cleanPath(name, entry.path)) {
      error = "the entry name \"" + name.substr(0, 200) + "\" is no path below the archive's top" + where;
      return false;
    }
    if (entries.size() == maxEntries) {
      error = "more than " + std::to_string(maxEntries) + " entries";
      return false;
    }
    if (entry.kind == Kind::File) {
      bytes += length;
      if (bytes > maxBytes) {
        error = "more than " + std::to_string(maxBytes) + " bytes of files";
        return false;
      }
      entry.bytes.assign(body, length);
    }
    entries.push_back(std::move(entry));
  }
  return true;
}

}  // namespace sim::tar
