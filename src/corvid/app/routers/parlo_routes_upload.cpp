// The file upload routes: image, file, video and GIF. The key, the declared length, the query
// and the login are checked from the header before any of the body is read (by the router);
// the body then streams through the multipart parser into a private staging folder under a
// sanitised name, and the client is handed that path. The staged file stays for a grace period
// after a successful hand-over (the client reads it on its own time) and is always removed.
#include <chrono>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>

#include "corvid/app/http/multipart.hpp"
#include "corvid/app/http/record.hpp"
#include "corvid/app/parlo_service.hpp"
#include "corvid/app/routers/parlo_routes_parts.hpp"
#include "corvid/app/routers/parlo_routes_staging.hpp"
#include "corvid/utils/console.hpp"
#include "corvid/utils/log.hpp"

namespace corvid::app::routers::parlo {
namespace {

namespace net = boost::asio;
namespace fs = std::filesystem;
using boost::beast::http::status;
using boost::beast::http::verb;

// Writes are gathered to this size before they go to the disk.
constexpr std::size_t kFlushBytes = 256 * 1024;
constexpr std::string_view kFileField = "file";

using Operation = net::awaitable<bool> (ParloService::*)(std::string, std::string);

struct UploadKind {
  RouteRow route;  // no JSON body: the file comes as a multipart form
  Operation send;
  bool saved_line_on_console;  // video and GIF report the staged path on the console
  const char* success;
  const char* failure;
  const char* error_prefix;
};

struct Settings {
  fs::path root;
  std::chrono::milliseconds grace;
  std::optional<net::any_io_executor> blocking;
};

std::shared_ptr<spdlog::logger> logger() { return log::get(kParloRouterLog); }

http::Response parse_error() {
  http::Response r =
      http::detail_response(status::bad_request, std::string(http::kMultipartParseErrorText));
  r.close = true;
  return r;
}

http::Response missing_file() {
  http::ValidationErrors errors;
  errors.push_back(http::missing_error(Json::array({"body", kFileField}), nullptr));
  return http::json_response(http::validation_error_body(errors), status::unprocessable_entity);
}

// Collects the first "file" part that carries a file name into the staging folder; every other
// part is read past and dropped.
class StagingSink final : public http::MultipartSink {
 public:
  explicit StagingSink(const fs::path& root) : root_(root) {}

  void on_part_begin(const http::PartHeaders& headers) override {
    in_file_ = false;
    if (headers.name != kFileField || staging_) return;
    if (!headers.filename) {
      file_without_name_ = true;
      return;
    }
    staging_ = std::make_unique<StagingFolder>(root_);
    staging_->open_file(http::sanitize_filename(*headers.filename));
    in_file_ = true;
  }
  void on_part_data(std::string_view data) override {
    if (in_file_) pending_.append(data);
  }
  void on_part_end() override { in_file_ = false; }

  std::string& pending() { return pending_; }
  std::unique_ptr<StagingFolder>& staging() { return staging_; }
  bool file_without_name() const { return file_without_name_; }

 private:
  fs::path root_;
  std::unique_ptr<StagingFolder> staging_;
  std::string pending_;
  bool in_file_ = false;
  bool file_without_name_ = false;
};

// Writes what the sink gathered, on the blocking executor when there is one.
net::awaitable<void> flush(StagingSink& sink, const Settings& settings) {
  if (sink.pending().empty() || !sink.staging()) {
    sink.pending().clear();
    co_return;
  }
  StagingFolder& staging = *sink.staging();
  std::string& data = sink.pending();
  if (settings.blocking) {
    co_await net::co_spawn(
        *settings.blocking,
        [&staging, &data]() -> net::awaitable<void> {
          staging.write(data);
          co_return;
        },
        net::use_awaitable);
  } else {
    staging.write(data);
  }
  data.clear();
}

// Removes the staged file (and its folder), with the removed line when there was a file.
void remove_staged(std::unique_ptr<StagingFolder> staging) {
  const std::string path = staging->file().string();
  if (staging->remove_file()) logger()->info("临时文件已删除: {}", path);
}

net::awaitable<void> remove_after(std::unique_ptr<StagingFolder> staging,
                                  std::chrono::milliseconds grace) {
  net::steady_timer timer(co_await net::this_coro::executor, grace);
  boost::system::error_code ec;
  co_await timer.async_wait(net::redirect_error(net::use_awaitable, ec));
  // Cut short (shutdown) or not, the file goes now.
  remove_staged(std::move(staging));
}

// Out of line: the removal's coroutine frame is not built inside the request's own frame.
[[gnu::noinline]] void schedule_removal(const net::any_io_executor& executor,
                                        std::unique_ptr<StagingFolder> staging,
                                        std::chrono::milliseconds grace) {
  net::co_spawn(executor, remove_after(std::move(staging), grace), net::detached);
}

// GCC 12 pairs the frame's recycling allocator with its sized delete only partly when it inlines
// the awaited coroutines here, and reports the pair as mismatched; the pair is asio's own.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
net::awaitable<http::Response> send_upload(ParloService& service, http::Request& request,
                                           const UploadKind& kind,
                                           std::shared_ptr<const Settings> settings) {
  std::string boundary;
  try {
    boundary = http::multipart_boundary(request.header_value("Content-Type").value_or(""));
  } catch (const http::MultipartError& e) {
    // A body that is no form at all carries no file part.
    if (e.kind() == http::MultipartError::Kind::not_multipart) {
      http::Response r = missing_file();
      r.close = true;
      co_return r;
    }
    co_return parse_error();
  }

  StagingSink sink(settings->root);
  http::MultipartParser parser(boundary, sink);
  const std::string error_prefix = kind.error_prefix;
  try {
    for (;;) {
      std::string_view piece;
      try {
        piece = co_await request.body_reader->read_some();
      } catch (const http::HttpError&) {
        throw;  // over the limit: the router answers 413
      } catch (const boost::system::system_error& e) {
        logger()->debug("request {}: upload body ended early: {}", request.id, e.what());
        co_return parse_error();
      }
      if (piece.empty()) break;
      parser.feed(piece);
      if (sink.pending().size() >= kFlushBytes) co_await flush(sink, *settings);
    }
    parser.finish();
    co_await flush(sink, *settings);
    if (sink.staging()) sink.staging()->close_file();
  } catch (const http::MultipartError& e) {
    logger()->debug("request {}: malformed multipart body: {}", request.id, e.what());
    co_return parse_error();
  } catch (const std::system_error& e) {
    // Staging failed (folder, file, disk): the caller learns it in the answer, nothing stays.
    sink.staging().reset();
    http::Response r = http::json_response(http::base_response(false, error_prefix + e.what()));
    r.close = !request.body_reader->done();
    co_return r;
  }

  std::unique_ptr<StagingFolder> staging = std::move(sink.staging());
  if (!staging) co_return missing_file();

  const std::string file_path = staging->file().string();
  if (kind.saved_line_on_console) {
    console::line("📁 文件已保存到: " + file_path);
  } else {
    logger()->info("文件已保存到: {}", file_path);
  }

  const std::string to_uid = request.params.at("to_uid").get<std::string>();
  bool sent = false;
  try {
    sent = co_await (service.*kind.send)(to_uid, file_path);
  } catch (const boost::system::system_error& e) {
    if (e.code() == net::error::operation_aborted) throw;
    co_return http::json_response(http::base_response(false, error_prefix + e.what()));
  } catch (const std::exception& e) {
    co_return http::json_response(http::base_response(false, error_prefix + e.what()));
  }

  if (sent) {
    // The client reads the file after accepting the command: keep it for the grace period,
    // but do not hold the caller for it.
    schedule_removal(co_await net::this_coro::executor, std::move(staging), settings->grace);
    co_return flag_answer(true, kind.success, kind.failure);
  }
  net::steady_timer timer(co_await net::this_coro::executor, settings->grace);
  co_await timer.async_wait(net::use_awaitable);
  // A staged file that cannot be removed is reported to the caller (it may hold what the
  // caller uploaded), not hidden behind the plain failure text.
  std::error_code removal;
  if (staging->remove_file(removal)) logger()->info("临时文件已删除: {}", file_path);
  if (removal) {
    const std::system_error error(removal, "cannot remove the staged file");
    co_return http::json_response(http::base_response(false, error_prefix + error.what()));
  }
  co_return flag_answer(false, kind.success, kind.failure);
}
#pragma GCC diagnostic pop

const UploadKind kKinds[] = {
    {{verb::post, "/send/image", "send_image", "发送图片", "发送图片文件", nullptr},
     &ParloService::send_image,
     false,
     "图片发送成功",
     "图片发送失败",
     "发送图片时出错: "},
    {{verb::post, "/send/file", "send_file", "发送文件", "发送文件", nullptr},
     &ParloService::send_file,
     false,
     "文件发送成功",
     "文件发送失败",
     "发送文件时出错: "},
    {{verb::post, "/send/video", "send_video", "发送视频", "发送视频文件", nullptr},
     &ParloService::send_video,
     true,
     "视频发送成功",
     "视频发送失败",
     "发送视频时出错: "},
    {{verb::post, "/send/gif", "send_gif", "发送GIF", "发送GIF文件", nullptr},
     &ParloService::send_gif,
     true,
     "GIF发送成功",
     "GIF发送失败",
     "发送GIF时出错: "},
};

}  // namespace

std::vector<http::Route> upload_routes(ParloService& service, const ParloRouteOptions& options) {
  auto settings = std::make_shared<Settings>();
  // Empty: the system's temporary folder, resolved (and created) by each upload.
  settings->root = options.upload_root;
  settings->grace = options.staging_grace;
  settings->blocking = options.blocking_executor;

  return table_routes(kKinds, [&service, &settings](http::Route& route, const UploadKind& kind) {
    route.params = {http::query_param("to_uid", http::FieldType::string)};
    route.upload = true;
    std::shared_ptr<const Settings> shared = settings;
    route.handler = [&service, &kind, shared](http::Request& r) {
      return send_upload(service, r, kind, shared);
    };
  });
}

}  // namespace corvid::app::routers::parlo
