-- wrk script for POST /api/parlo/send/text: a fixed JSON body with the bearer key taken from
-- the environment (CORVID_BENCH_KEY). The text goes to "filehelper", which sends nothing back,
-- so the figure is the send path alone and not the relay of an echo.
wrk.method = "POST"
wrk.body = '{"to_uid": "filehelper", "content": "bench"}'
wrk.headers["Content-Type"] = "application/json"
wrk.headers["Authorization"] = "Bearer " .. os.getenv("CORVID_BENCH_KEY")
