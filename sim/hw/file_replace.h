// Replacing a file's contents so that it holds either the old or the whole
// new contents: a new file made beside it (mkstemp), given the old file's
// mode (or the mode a new file would get), written, flushed to the disk
// (fsync), closed, then renamed over it. Every step that fails is named in
// the error, and the new file is removed; the old one is left whole. The EEPROM
// image a profile saves and nicdiag's --out files are written this way.
#pragma once
#include <sys/types.h>

#include <string>

namespace sim::hw {

// The system calls of a replacement, which a test can make fail one by one.
struct ReplaceSteps {
  ssize_t (*write)(int fd, const void* data, size_t size);
  int (*fsync)(int fd);
  int (*close)(int fd);
  int (*rename)(const char* from, const char* to);
};
// The real calls.
const ReplaceSteps& system_replace_steps();

// Replaces path (the file a symbolic link names, when it is one) with bytes.
// False with error "PATH: <step>: <system's reason>; the old contents are
// kept" when a step fails. Only a regular file (or a name not yet taken) is
// replaced: renaming over a device or a folder would put a file in its place.
bool replace_file_contents(const std::string& path, const std::string& bytes, std::string& error,
                           const ReplaceSteps& steps = system_replace_steps());

}  // namespace sim::hw
