#include <string.h>

#include "INIKeyPattern.h"
#include "helpers.h"
#include "tap.h"

// The capacity a text of NEEDED bytes (its NUL included) gets: the current
// one when it suffices, else one 1 KiB step above it; 0 when one step is
// not enough, so a set never grows the buffer by more than one step.
static uint32_t CapacityFor(int64_t needed) {
  if (needed <= static_cast<int64_t>(BufferSize)) return BufferSize;
  const int64_t grown = (static_cast<int64_t>(BufferSize >> 10) + 1) << 10;
  return needed <= grown && grown <= UINT32_MAX ? static_cast<uint32_t>(grown) : 0;
}

// A zero-filled block of CAPACITY bytes from the firmware, or null.
static char* NewBlock(uint32_t capacity) {
  char* block = static_cast<char*>(TAP_MemAlloc(capacity));
  if (block != nullptr) TAP_MemSet(block, 0, capacity);
  return block;
}

// Sets KEY to VALUE. The key's first entry that is not commented out gets
// the key as the caller writes it and the new value, in a new block, with
// every other byte of the text kept; without such an entry, the key, "=",
// the value and CR LF are appended. A set that would need more than one
// 1 KiB growth step, or whose allocation fails, changes nothing.
void INISetString(const char* key, const char* value) {
  if (key == nullptr || value == nullptr || INIBuffer == nullptr) return;
  // A text without its NUL inside the block is no text the store made.
  const char* nul = static_cast<const char*>(memchr(INIBuffer, '\0', BufferSize));
  if (nul == nullptr) return;
  const uint32_t textLength = static_cast<uint32_t>(nul - INIBuffer);

  char pattern[INI_KEY_PATTERN_SIZE];
  const uint32_t patternLength = INIKeyPattern(pattern, key);
  const size_t valueLength = strlen(value);
  char* start = nullptr;
  char* end = nullptr;
  INIFindStartEnd(pattern, &start, &end, BufferSize);

  if (start != nullptr && end != nullptr) {
    const int64_t needed =
        static_cast<int64_t>(textLength) - (end - start) + patternLength + static_cast<int64_t>(valueLength) + 1;
    const uint32_t capacity = CapacityFor(needed);
    if (capacity == 0) return;
    char* block = NewBlock(capacity);
    if (block == nullptr) return;
    const size_t before = static_cast<size_t>(start - INIBuffer);
    const char* rest = end + 1;
    char* out = block;
    memcpy(out, INIBuffer, before);
    out += before;
    memcpy(out, pattern, patternLength);
    out += patternLength;
    memcpy(out, value, valueLength);
    out += valueLength;
    memcpy(out, rest, static_cast<size_t>(nul - rest));
    TAP_MemFree(INIBuffer);
    INIBuffer = block;
    BufferSize = capacity;
    return;
  }

  const int64_t needed = static_cast<int64_t>(textLength) + patternLength + static_cast<int64_t>(valueLength) + 3;
  const uint32_t capacity = CapacityFor(needed);
  if (capacity == 0) return;
  if (capacity != BufferSize) {
    char* block = NewBlock(capacity);
    if (block == nullptr) return;
    TAP_MemCpy(block, INIBuffer, BufferSize);
    TAP_MemFree(INIBuffer);
    INIBuffer = block;
    BufferSize = capacity;
  }
  char* out = INIBuffer + textLength;
  memcpy(out, pattern, patternLength);
  out += patternLength;
  memcpy(out, value, valueLength);
  out += valueLength;
  out[0] = '\r';
  out[1] = '\n';
  out[2] = '\0';
}
