#pragma once
// Files of a folder served under a mount prefix (GET and HEAD). Only regular files that lie
// inside the folder after every symlink is resolved are served: "..", ".", empty segments,
// backslashes and NUL bytes in the decoded path, absolute paths, directories and links leading
// out of the folder all answer 404 {"detail":"Not Found"}. Pure functions on the file system.
#include <filesystem>
#include <string_view>

#include <boost/beast/http/verb.hpp>

#include "corvid/app/http/response.hpp"

namespace corvid::app::http {

// `relative` is the decoded rest of the path after "<prefix>/" ("" for the prefix itself).
Response serve_static(const std::filesystem::path& root, std::string_view relative,
                      boost::beast::http::verb method);

// The content type sent for a file name ("application/octet-stream" when unknown).
std::string_view content_type_for(const std::filesystem::path& file);

}  // namespace corvid::app::http
