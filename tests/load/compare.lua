-- wrk script for scripts/compare-nginx: one request, the same every time,
-- except that a timed token is the one of the current minute.
--
-- wrk ... -s tests/load/compare.lua URL -- PATH [TOKENS]
--   PATH    the request target; "%s" in it stands for the minute's token
--   TOKENS  lines "YYYY-MM-DD HH:MM TOKEN", one for each minute of the run
--
-- A response that is not 200 is counted; scripts/compare-nginx fails the
-- run on any.

local path
local tokens = {}
local lastSecond, current = -1, nil

function init(args)
    path = args[1]
    if args[2] then
        for line in io.lines(args[2]) do
            local minute, token = line:match("^(%d+%-%d+%-%d+ %d+:%d+) (%x+)$")
            if minute then tokens[minute] = token end
        end
    end
end

function request()
    local now = os.time()
    if now ~= lastSecond then
        lastSecond = now
        local token = tokens[os.date("%Y-%m-%d %H:%M", now)] or ""
        current = wrk.format("GET", (path:gsub("%%s", token)))
    end
    return current
end

local refused = 0
function response(status)
    if status ~= 200 then refused = refused + 1 end
end

function done(summary)
    io.write(string.format("compare: requests %d errors %d\n", summary.requests,
        summary.errors.connect + summary.errors.read + summary.errors.write +
        summary.errors.status + summary.errors.timeout))
end
