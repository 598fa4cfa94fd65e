-- wrk script: POST /api/parlo/send/text with a 2 MiB JSON body (an array of short texts, so
-- the parse builds many values), to load the server with large-body parsing while /health is
-- measured beside it. The bearer key comes from the environment (CORVID_BENCH_KEY).
local items = {}
for i = 1, 2 * 1024 * 1024 / 16 do items[i] = '"abcdefghijkl"' end
wrk.method = "POST"
wrk.body = '{"to_uid": "filehelper", "content": "bench", "extra": [' .. table.concat(items, ",") .. ']}'
wrk.headers["Content-Type"] = "application/json"
wrk.headers["Authorization"] = "Bearer " .. os.getenv("CORVID_BENCH_KEY")
