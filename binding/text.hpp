// Byte strings from the engine (names and paths as the file system gave
// them) turned into Python objects, and `~` expansion of path arguments.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "binding/py.hpp"

namespace bramwex::binding {

// A str: the bytes as UTF-8 when valid, else decoded with the file-system
// encoding, so undecodable bytes come back as surrogate escapes and encode
// back to the same bytes.
Ref name_str(std::string_view bytes);

// A pathlib.Path of name_str(bytes).
Ref path_object(std::string_view bytes);

// The path with a leading `~` expanded by os.path.expanduser, as bytes in the
// file-system encoding.
std::optional<std::string> expand_user_path(std::string_view path);

}  // namespace bramwex::binding
