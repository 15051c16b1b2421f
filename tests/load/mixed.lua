-- wrk script for scripts/load: a fixed mix of requests to the load site,
-- each with the answer it must get, checked response by response.
--
-- wrk ... -s tests/load/mixed.lua URL -- MODE SITE TOKENS
--   MODE    "filtered": the whole mix, for a host that runs the filter;
--           "plain": the whole mix, for a server without the filter;
--           "passes": only the requests that every server answers alike
--           (the filter lets them through), for comparing throughput
--   SITE    the document root, to learn the sizes of the files
--   TOKENS  lines "YYYY-MM-DD HH:MM TOKEN": the access token of each minute
--           of the run, then one line "stale TOKEN" with a token of an
--           earlier day
--
-- Every wrk thread must own exactly one connection (-t N -c N): without
-- pipelining, the connection then carries one request at a time, so each
-- response belongs to the request made just before it.
--
-- The results go to standard output as lines that begin with "load:";
-- scripts/load reads them. A line "load: FAIL ..." is a failed check.

local site
mode = nil               -- MODE; global, so that done() can read it

-- The mix. `minute` marks requests that carry the current minute's token.
-- `want` is what the filtered host answers, `plain` what a server without
-- the filter answers; each is {status, body} where body names the file whose
-- size the body must have, is a number of bytes, or is nil (not checked).
-- `weight` is how many times the entry appears in one turn of the cycle.
local PLAYER = "NSPlayer/12.0.19041"
local BROWSER = "Mozilla/5.0 (X11; Linux x86_64) Gecko/20100101 Firefox/115.0"
local ZEROS = string.rep("0", 32)

local function mix(ownReferer)
    return {
        -- Unclassed and public files: served without any check.
        { name = "page", path = "/index.html", weight = 3,
          want = { 200, "/index.html" } },
        { name = "text", path = "/about.txt", weight = 1,
          want = { 200, "/about.txt" } },
        { name = "public-download", path = "/downloads/freebie.zip", weight = 1,
          want = { 200, "/downloads/freebie.zip" } },
        -- Common class: the site's own pages and a friend may use it.
        { name = "common-own-page", path = "/img/logo.png", weight = 3,
          headers = { Referer = ownReferer },
          want = { 200, "/img/logo.png" } },
        { name = "common-friend", path = "/css/site.css", weight = 1,
          headers = { Referer = "http://www.friend.test/blog/post" },
          want = { 200, "/css/site.css" } },
        { name = "common-hotlink", path = "/img/photo.jpg", weight = 2,
          headers = { Referer = "http://elsewhere.example/gallery" },
          want = { 403 }, plain = { 200, "/img/photo.jpg" } },
        { name = "common-no-referer", path = "/img/logo.png", weight = 1,
          want = { 403 }, plain = { 200, "/img/logo.png" } },
        -- Advanced class: the token.
        { name = "advanced-token", path = "/downloads/tool.zip?kavro=%s", minute = true,
          weight = 3, want = { 200, "/downloads/tool.zip" } },
        { name = "advanced-token-after-others", path = "/downloads/setup.exe?lang=en&kavro=%s&v=2",
          minute = true, weight = 1, want = { 200, "/downloads/setup.exe" } },
        { name = "advanced-no-token", path = "/downloads/setup.exe", weight = 1,
          want = { 403 }, plain = { 200, "/downloads/setup.exe" } },
        { name = "advanced-bad-token", path = "/downloads/tool.zip?kavro=" .. ZEROS, weight = 1,
          want = { 403 }, plain = { 200, "/downloads/tool.zip" } },
        { name = "advanced-stale-token", path = "/downloads/tool.zip?kavro=%stale", weight = 1,
          want = { 403 }, plain = { 200, "/downloads/tool.zip" } },
        { name = "advanced-token-in-cookie", path = "/downloads/tool.zip", minute = true,
          cookieToken = true, weight = 1,
          want = { 403 }, plain = { 200, "/downloads/tool.zip" } },
        -- Media class: the token and a player. Mediaaction=0 diverts a
        -- refusal to the notice clip KAVRO.<ext>, served with 200.
        { name = "media-player", path = "/media/talk.wmv?kavro=%s", minute = true, weight = 2,
          headers = { ["User-Agent"] = PLAYER },
          want = { 200, "/media/talk.wmv" } },
        { name = "media-range-head", path = "/media/clip.mp4?kavro=%s", minute = true, weight = 2,
          headers = { ["User-Agent"] = "Windows-Media-Player/12", Range = "bytes=0-65535" },
          want = { 206, 65536 } },
        { name = "media-range-middle", path = "/media/clip.mp4?kavro=%s", minute = true, weight = 1,
          headers = { ["User-Agent"] = PLAYER, Range = "bytes=1000000-1049999" },
          want = { 206, 50000 } },
        { name = "media-range-suffix", path = "/media/clip.mp4?kavro=%s", minute = true, weight = 1,
          headers = { ["User-Agent"] = "RMA/1.0 (compatible; RealMedia)", Range = "bytes=-4096" },
          want = { 206, 4096 } },
        { name = "media-range-tail", path = "/media/clip.mp4?kavro=%s", minute = true, weight = 1,
          headers = { ["User-Agent"] = PLAYER, Range = "bytes=%tail-" },
          want = { 206, 10000 } },
        { name = "media-browser-agent", path = "/media/talk.wmv?kavro=%s", minute = true,
          weight = 1, headers = { ["User-Agent"] = BROWSER },
          want = { 200, "/KAVRO.wmv" }, plain = { 200, "/media/talk.wmv" } },
        { name = "media-no-token", path = "/media/short.mp4", weight = 1,
          headers = { ["User-Agent"] = PLAYER },
          want = { 200, "/KAVRO.mp4" }, plain = { 200, "/media/short.mp4" } },
        { name = "media-bad-token", path = "/media/short.mp4?kavro=" .. ZEROS, weight = 1,
          headers = { ["User-Agent"] = PLAYER },
          want = { 200, "/KAVRO.mp4" }, plain = { 200, "/media/short.mp4" } },
        -- Super class and the query-string checks.
        { name = "super", path = "/data/site.bak", weight = 1,
          want = { 403 }, plain = { 200, "/data/site.bak" } },
        { name = "query-too-long", path = "/about.txt?q=" .. string.rep("x", 600), weight = 1,
          want = { 403 }, plain = { 200, "/about.txt" } },
        { name = "query-bad-char", path = "/index.html?q=it%27s", weight = 1,
          want = { 403 }, plain = { 200, "/index.html" } },
    }
end

-- The entries of the mix that MODE sends.
function inMode(all, mode)
    if mode ~= "passes" then return all end
    local chosen = {}
    for _, entry in ipairs(all) do
        if not entry.plain then chosen[#chosen + 1] = entry end
    end
    return chosen
end

local entries = {}      -- the mix, with sizes resolved
local cycle = {}        -- entry indexes, `weight` times each, interleaved
local position = 1
local tokens = {}       -- "YYYY-MM-DD HH:MM" -> token
local stale
local formatted = {}    -- minute -> entry index -> request text
local staticRequests = {}

-- Per-thread results, read by done() through thread:get().
counts = {}             -- entry name -> responses
wrong = 0               -- responses other than the one intended
lost = 0                -- requests that got no response
unexpected = 0          -- responses to no request
missingToken = 0        -- minutes without a token
samples = {}            -- entry name -> its first wrong response, described

local pending           -- the entry whose response is awaited

local function fileSize(path)
    local file = io.open(site .. path, "rb")
    if not file then error("load: no file " .. site .. path) end
    local size = file:seek("end")
    file:close()
    return size
end

local function resolve(expect)
    if expect == nil then return nil end
    local size = expect[2]
    if type(size) == "string" then size = fileSize(size) end
    return { status = expect[1], size = size }
end

local function build(entry, token)
    local path = entry.path:gsub("%%stale", stale):gsub("%%s", token or "")
    local headers = {}
    for name, value in pairs(entry.headers or {}) do
        headers[name] = value:gsub("%%tail", tostring(entry.tail))
    end
    if entry.cookieToken then headers.Cookie = "lang=en; kavro=" .. token end
    return wrk.format("GET", path, headers)
end

function init(args)
    mode, site = args[1], args[2]
    if mode ~= "filtered" and mode ~= "plain" and mode ~= "passes" then
        error("load: MODE is filtered, plain or passes")
    end
    for line in io.lines(args[3]) do
        local minute, token = line:match("^(%d+%-%d+%-%d+ %d+:%d+) (%x+)$")
        if minute then tokens[minute] = token end
        local old = line:match("^stale (%x+)$")
        if old then stale = old end
    end
    if not stale then error("load: no stale token in " .. args[3]) end

    local host = wrk.headers.Host or (wrk.host .. ":" .. tostring(wrk.port))
    for _, entry in ipairs(inMode(mix("http://" .. host .. "/index.html"), mode)) do
        entry.tail = fileSize("/media/clip.mp4") - 10000
        local expect = entry.want
        if mode == "plain" then expect = entry.plain or entry.want end
        entry.expect = resolve(expect)
        entries[#entries + 1] = entry
        if not entry.minute then staticRequests[#entries] = build(entry) end
    end
    -- Spread each entry's repeats over the cycle rather than in runs.
    local rounds = 0
    for _, entry in ipairs(entries) do rounds = math.max(rounds, entry.weight) end
    for round = 1, rounds do
        for index, entry in ipairs(entries) do
            if entry.weight >= round then cycle[#cycle + 1] = index end
        end
    end
    -- Threads start at different places of the cycle.
    position = (threadNumber or 0) * 7 % #cycle + 1
end

local calls = 0

function request()
    calls = calls + 1
    -- wrk calls request() once in the first thread's state before the run,
    -- to see how many requests it returns; that one is never sent.
    if pending and not (threadNumber == 0 and calls == 2) then lost = lost + 1 end
    local now = os.time()
    -- A minute token sent in the last second of its minute could reach the
    -- filter in the next one and be refused by rights; near the turn of the
    -- minute the mix goes on with requests that carry no minute token.
    local second = os.date("*t", now).sec
    local nearTurn = second >= 59 or second == 0
    local index
    repeat
        index = cycle[position]
        position = position % #cycle + 1
    until not (nearTurn and entries[index].minute)

    local entry = entries[index]
    pending = entry
    if not entry.minute then return staticRequests[index] end

    local minute = os.date("%Y-%m-%d %H:%M", now)
    local token = tokens[minute]
    if not token then
        missingToken = missingToken + 1
        token = ZEROS
    end
    local ready = formatted[minute]
    if not ready then
        ready = {}
        formatted = { [minute] = ready }
    end
    local text = ready[index]
    if not text then
        text = build(entry, token)
        ready[index] = text
    end
    return text
end

function response(status, headers, body)
    local entry = pending
    pending = nil
    if not entry then
        unexpected = unexpected + 1
        return
    end
    counts[entry.name] = (counts[entry.name] or 0) + 1
    local expect = entry.expect
    local size = #body
    if status ~= expect.status or (expect.size and size ~= expect.size) then
        wrong = wrong + 1
        if not samples[entry.name] then
            samples[entry.name] = string.format("%s: got %d with %d body bytes, wanted %d%s",
                entry.name, status, size, expect.status,
                expect.size and (" with " .. expect.size) or "")
        end
    end
end

local threads = {}

function setup(thread)
    thread:set("threadNumber", #threads)
    threads[#threads + 1] = thread
end

function done(summary, latency, requests)
    local total = { counts = {}, wrong = 0, lost = 0, unexpected = 0, missingToken = 0 }
    local messages = {}
    for _, thread in ipairs(threads) do
        for name, count in pairs(thread:get("counts")) do
            total.counts[name] = (total.counts[name] or 0) + count
        end
        for _, key in ipairs({ "wrong", "lost", "unexpected", "missingToken" }) do
            total[key] = total[key] + thread:get(key)
        end
        for name, message in pairs(thread:get("samples")) do messages[name] = message end
    end

    local seconds = summary.duration / 1e6
    local e = summary.errors
    io.write(string.format("load: summary %7d in %5.2f s: %8.1f/s, %6.0f MB;"
        .. " latency mean %.2f, p99 %.2f, max %.2f ms\n",
        summary.requests, seconds, summary.requests / seconds, summary.bytes / 1e6,
        latency.mean / 1000, latency:percentile(99.0) / 1000, latency.max / 1000))
    io.write(string.format("load: rps %.1f\n", summary.requests / seconds))
    io.write(string.format("load: count %d %d\n", summary.requests, summary.duration))

    local function fail(message) io.write("load: FAIL " .. message .. "\n") end
    if e.connect + e.read + e.write + e.timeout > 0 then
        fail(string.format("socket errors: connect %d, read %d, write %d, timeout %d",
            e.connect, e.read, e.write, e.timeout))
    end
    if total.wrong > 0 then
        fail(string.format("%d of %d responses had another status or size than intended",
            total.wrong, summary.requests))
        for _, entry in ipairs(mix("")) do
            if messages[entry.name] then io.write("load:   " .. messages[entry.name] .. "\n") end
        end
    end
    if total.lost > 0 then fail(total.lost .. " requests got no response") end
    if total.unexpected > 0 then fail(total.unexpected .. " responses came to no request") end
    if total.missingToken > 0 then
        fail(total.missingToken .. " requests found no token issued for their minute")
    end
    -- Each kind of request must have been made, or the run proves nothing
    -- about it.
    local names = {}
    for _, entry in ipairs(inMode(mix(""), threads[1]:get("mode"))) do
        names[#names + 1] = entry.name
    end
    local missing = {}
    for _, name in ipairs(names) do
        if (total.counts[name] or 0) == 0 then missing[#missing + 1] = name end
    end
    if #missing > 0 then fail("no response at all for " .. table.concat(missing, ", ")) end
end
