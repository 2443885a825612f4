// Unpacks an application package (a ZIP archive) over the install folder,
// all or nothing: every entry is read and checked, the whole package is
// written into a staging folder inside the install folder, and only then are
// its files moved into place; a failure on the way puts back everything
// that was moved. Runs on the installer's thread; owns nothing between calls.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "base/result.h"

namespace ze {

// What the files of one package may add up to, well above a real package.
inline constexpr uint64_t kMaxUnpackedSize = 64ull * 1024 * 1024;

struct ExtractOptions {
  // When set, the package's program (bin/ze-radio) must carry a version
  // record newer than this, or nothing is written.
  std::optional<std::string> newer_than = std::nullopt;
  uint64_t max_unpacked_size = kMaxUnpackedSize;
};

// Unpacks the archive at `package_path` into `install_dir`. Entries below a
// top folder "ze-radio" lose that folder. Unsafe names and symbolic-link
// entries are skipped; links already in `install_dir` are replaced, never
// followed. Before anything is written: the files' stated sizes must add up
// to at most `max_unpacked_size` and fit in the free space of the install
// folder's file system, every entry must read back with its checksum, and
// nothing in the folder may stand where the package needs a file or a
// folder. A failed unpacking leaves the folder as it was, links included.
Status extract_package(const std::string& package_path, const std::string& install_dir,
                       const ExtractOptions& options = {});

}  // namespace ze
