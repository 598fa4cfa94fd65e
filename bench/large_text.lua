-- wrk script: POST /api/parlo/send/text with 2 MiB of message content (mixed text, with
-- non-ASCII characters and quotes, so the envelope escapes them), to load the server with
-- large sends while /health is measured beside it. The text goes to "filehelper", which sends
-- nothing back. The bearer key comes from the environment (CORVID_BENCH_KEY).
local line = 'Corvid bench line: 你好，世界 "quoted" and plain words; '
local parts = {}
local size = 0
while size < 2 * 1024 * 1024 do
  parts[#parts + 1] = line
  size = size + #line
end
wrk.method = "POST"
wrk.body = '{"to_uid": "filehelper", "content": "' .. table.concat(parts):gsub('"', '\\"') .. '"}'
wrk.headers["Content-Type"] = "application/json"
wrk.headers["Authorization"] = "Bearer " .. os.getenv("CORVID_BENCH_KEY")
