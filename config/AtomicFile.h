#pragma once

#include <string>
#include <string_view>

// Replaces the file at `path` with `content` so that a crash or power loss at
// any moment leaves either the old or the new file whole: the content goes to
// path + ".tmp", is flushed to the disk, renamed over the target, and the
// folder entry is flushed too. On failure the temporary file is removed and
// the target is untouched. Returns true when the new file is in place.
bool writeFileAtomically(const std::string& path, std::string_view content);
