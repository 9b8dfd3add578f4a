#include "settings.h"

#include <errno.h>
#include <string.h>

#include <iterator>

#include "Steadyflow.h"
#include "fail.h"
#include "record.h"

namespace devsim {
namespace {

// The module's settings file in FOLDER, its disk path made at compile time.
template <size_t N>
struct InFolder {
  char path[N + sizeof steadyflow::kSettingsFile]{};
  constexpr explicit InFolder(const char (&folder)[N]) {
    for (size_t i = 0; i + 1 < N; ++i) path[i] = folder[i];
    path[N - 1] = '/';
    for (size_t i = 0; i < sizeof steadyflow::kSettingsFile; ++i) path[N + i] = steadyflow::kSettingsFile[i];
  }
};
constexpr InFolder kInModuleFolder(steadyflow::kSettingsFolder);
constexpr InFolder kInSettings("/ProgramFiles/Settings");
constexpr InFolder kInProgramFiles("/ProgramFiles");

}  // namespace

const char* const kSettingsFiles[3] = {kInModuleFolder.path, kInSettings.path, kInProgramFiles.path};

namespace {

// The file RELATIVE below BASE under the rules above.
std::optional<sim::sandbox::FileBytes> readSettings(const std::string& base, const std::string& relative,
                                                    size_t limit) {
  std::string error;
  auto file = sim::sandbox::readRegular(base, relative, limit, error);
  if (!error.empty()) fail(error);
  if (file && file->size > kLongestSettings)
    fail(sim::sandbox::joinedPath(base, relative) + ": " + std::to_string(file->size) +
         " bytes; settings files of more than " + std::to_string(kLongestSettings) + " bytes are refused");
  return file;
}

}  // namespace

std::optional<sim::sandbox::FileBytes> settingsFile(const std::string& disk, const std::string& diskPath,
                                                    size_t limit) {
  return readSettings(disk, diskPath.substr(1), limit);
}

SettingsFiles settingsFiles(const std::string& disk, size_t limit) {
  return settingsFiles(disk, std::vector<std::string>(std::begin(kSettingsFiles), std::end(kSettingsFiles)), limit);
}

SettingsFiles settingsFiles(const std::string& disk, const std::vector<std::string>& files, size_t limit) {
  SettingsFiles read;
  for (const std::string& file : files) read.push_back(settingsFile(disk, file, limit));
  return read;
}

sim::sandbox::FileBytes namedSettingsFile(const std::string& path) {
  // The folders on the way are the caller's choice; the file itself must
  // not be a link.
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.empty()) fail(path + ": a folder, not a settings file");
  auto file = readSettings(folder, name, kLongestSettings);
  if (!file) fail(path + ": " + strerror(ENOENT));
  return *file;
}

}  // namespace devsim
