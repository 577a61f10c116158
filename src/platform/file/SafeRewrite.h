#pragma once

// Rewriting a file so that it is never lost, left half written or left with
// stray copies: the change is made in a private copy, and only a finished,
// flushed copy takes the original's place. Every tag writer goes through
// here.
//
// The copy is made in the original's folder without a name (O_TMPFILE), so a
// process killed at any point before the replacement leaves nothing behind;
// it is given a name only to be renamed over the original at once. Where the
// file system has no unnamed files, it is a hidden ".corvane-rewrite-*" file,
// removed on every path the process survives.
//
// The copy gets the original's extended attributes (ACLs included), owner
// and group (where the process may set them) and permission bits.
//
// A file with more than one hard link is not replaced but rewritten in
// place, so that every link sees the change: the edited copy is flushed, the
// original's bytes are saved to a hidden ".corvane-backup-*" file beside it,
// the copy's bytes are written over the original's and read back; a
// mismatch puts the saved bytes back. The backup is removed once the
// original holds either the verified new bytes or its old ones again; a
// process killed in between leaves it (the original's complete old bytes),
// and nothing else.

#include <functional>
#include <string>

#include "platform/file/InputFile.h"

namespace corvane::file {

// Edits the private copy, open for reading and writing on copyFd (a copy
// of the original's bytes), in place. Returns true when the copy holds the
// complete, intended result; false abandons the rewrite. The descriptor
// stays the caller's: dup it to keep it.
using RewriteEdit = std::function<bool(int copyFd)>;

// Rewrites the regular file at path through edit. For a symbolic link the
// link's target is rewritten and the link stays.
//
// Returns false, with the original byte for byte as it was and no copy
// left, when: path is empty or not a regular file; the file or its folder
// is read-only (a file without any write permission bit counts as read-only
// even for a privileged process); the copy cannot be made or written in full
// (full disk, file size limit) or cannot take one of the original's extended
// attributes; edit fails; or the original was removed or changed while the
// copy was being edited.
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
