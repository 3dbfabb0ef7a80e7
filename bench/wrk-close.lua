-- wrk request for one exchange per connection: the path (absolute form for a proxy) and the Host
-- line come from WRK_PATH and WRK_HOST, and every request asks the server to close.
wrk.path = os.getenv("WRK_PATH") or "/"
local host = os.getenv("WRK_HOST")
if host then wrk.headers["Host"] = host end
wrk.headers["Connection"] = "close"
