// Files of the working directory, which other users and other machines may
// write too: nothing is written through a link, nothing that is no regular
// file is read, and nothing here blocks on a file.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

// The line end of a text file on this system: LF, or CR LF on Windows.
extern const char* const Text_line_end;

// Replaces the file at path whole. The bytes go to a new file beside it
// (created afresh, never through a link, with the user's usual permissions),
// which is then renamed over path: a reader sees the old file or the new one,
// and a link at path is replaced, not followed. 0, or -errno with nothing
// changed.
int replace_file(const std::string& path, std::string_view bytes);

// Appends the bytes to the file at path, created when missing. A link at
// path is not followed: -ELOOP. 0 or -errno.
int append_file(const std::string& path, std::string_view bytes);

// Removes the name path (a link itself, never what it leads to). 0 or
// -errno; -ENOENT when there was nothing.
int remove_file(const std::string& path);

// A regular file read whole into out, at most limit bytes. Anything else at
// path (a link, a FIFO, a directory, a device) is not opened, or opened
// without waiting and refused. 0; -EFBIG when the file holds more than
// limit bytes; -EINVAL when it is no regular file; other -errno values.
int read_regular_file(const std::string& path, std::size_t limit, std::string& out);

// The system's text for an -errno value.
std::string error_text(int neg_errno);

}  // namespace platform
