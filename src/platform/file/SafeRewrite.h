#pragma once

// Rewriting a file so that it is never lost or left half written: the change
// is made in a private copy beside the original, and only a finished, flushed
// copy replaces the original, in one rename. Every tag writer goes through
// here.

#include <functional>
#include <string>

#include "platform/file/InputFile.h"

namespace corvane::file {

// Edits the private copy at copyPath in place. Returns true when the copy
// holds the complete, intended result; false abandons the rewrite.
using RewriteEdit = std::function<bool(const std::string& copyPath)>;

// Rewrites the regular file at path through edit. For a symbolic link the
// link's target is rewritten and the link stays. The copy gets the original's
// permission bits (and owner and group where the process may set them).
//
// Returns false, with the original byte for byte as it was and the copy
// removed, when: path is empty or not a regular file; the file or its folder
// is read-only (a file without any write permission bit counts as read-only
// even for a privileged process); the copy cannot be made or written in full
// (full disk, file size limit); edit fails; or the original was removed or
// changed while the copy was being edited.
//
// Safe to call from several threads at once, on different files. A process
// that rewrites files ignores SIGXFSZ (the daemon does from its start-up), so
// that a file size limit shows as a failed write, not as the end of it.
bool safeRewrite(const std::string& path, const RewriteEdit& edit);

// The same for a file already open: original, opened from path. The copy is
// made from original's descriptor, and the rewrite fails, as above, when path
// no longer names that same, unchanged file (as it was when it was opened).
bool safeRewrite(const InputFile& original, const std::string& path, const RewriteEdit& edit);

}  // namespace corvane::file
