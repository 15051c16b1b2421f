#!/usr/bin/env python3
"""The connection shapes of a video site, against one server on loopback.

  idle:      IDLE connections that send nothing and SLOW ones that send a
             request head a byte at a time, all open at once; then page
             requests while they are open, and again once they are closed.
  downloads: DOWNLOADS clients fetch the same media file at once, each
             reading it slowly through a small receive window; a page
             request is made while they run, and the server's RSS is taken.

Prints one "shapes: ..." line per figure and "shapes: FAIL ..." for every
response that is not the intended one or never comes. Latencies are
reported, not judged here: scripts/load prints them beside the goal.
"""
import argparse
import asyncio
import re
import socket
import sys
import time

PAGE = b"GET /index.html HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n"
PLAYER = "NSPlayer/12.0.19041"
failures = []


def fail(message):
    failures.append(message)
    print(f"shapes: FAIL {message}", flush=True)


def rss_kib(pids):
    total = 0
    for pid in pids:
        with open(f"/proc/{pid}/status") as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    total += int(line.split()[1])
    return total


async def connect(port, receive_window=None):
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.setblocking(False)
    if receive_window:
        # Before connect, so that the window offered is this small from the
        # start and the server cannot park the file in our buffers.
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_window)
    await asyncio.get_running_loop().sock_connect(sock, ("127.0.0.1", port))
    return sock


async def read_all(sock, limit=None):
    loop = asyncio.get_running_loop()
    data = bytearray()
    while True:
        chunk = await loop.sock_recv(sock, 65536)
        if not chunk:
            return bytes(data)
        data += chunk
        if limit and len(data) >= limit:
            return bytes(data)


async def timed_page(port, label, timeout=5.0):
    """Milliseconds for one page request on a new connection, or None."""
    start = time.monotonic()
    try:
        sock = await asyncio.wait_for(connect(port), timeout)
        loop = asyncio.get_running_loop()
        await loop.sock_sendall(sock, PAGE)
        reply = await asyncio.wait_for(read_all(sock), timeout)
        sock.close()
    except (asyncio.TimeoutError, OSError) as error:
        fail(f"{label}: the page request got no answer ({error!r})")
        return None
    if not reply.startswith(b"HTTP/1.1 200 "):
        fail(f"{label}: the page request got {reply[:40]!r}")
        return None
    return (time.monotonic() - start) * 1000


async def open_many(port, count, head_part=None):
    socks = []
    for start in range(0, count, 500):
        batch = await asyncio.gather(
            *(connect(port) for _ in range(min(500, count - start))), return_exceptions=True)
        for sock in batch:
            if isinstance(sock, BaseException):
                fail(f"opening connection {len(socks)}: {sock!r}")
                return socks
            socks.append(sock)
    if head_part:
        loop = asyncio.get_running_loop()
        for sock in socks:
            await loop.sock_sendall(sock, head_part)
    return socks


async def dribble(socks, stop):
    """A byte of a never-ending header on every slow connection, every
    second, the way a slowloris keeps its connections."""
    loop = asyncio.get_running_loop()
    while not stop.is_set():
        for sock in socks:
            try:
                await loop.sock_sendall(sock, b"a")
            except OSError:
                pass
        try:
            await asyncio.wait_for(stop.wait(), 1.0)
        except asyncio.TimeoutError:
            pass


async def idle_shape(args):
    idle = await open_many(args.port, args.idle)
    slow = await open_many(args.port, args.slow,
                           b"GET /index.html HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ")
    print(f"shapes: idle open={len(idle)} slow open={len(slow)}", flush=True)
    stop = asyncio.Event()
    dribbler = asyncio.create_task(dribble(slow, stop))
    await asyncio.sleep(0.5)
    during = [await timed_page(args.port, "among idle and slow connections") for _ in range(5)]
    rss = rss_kib(args.pid)
    stop.set()
    await dribbler
    for sock in idle + slow:
        sock.close()
    await asyncio.sleep(0.5)
    after = [await timed_page(args.port, "after the idle and slow connections closed")
             for _ in range(5)]
    worst = lambda xs: max((x for x in xs if x is not None), default=float("nan"))
    print(f"shapes: idle page_ms_max={worst(during):.1f} after_ms_max={worst(after):.1f} "
          f"rss_kib={rss}", flush=True)


async def download(port, target, size, pace_bytes, pace_seconds, results):
    loop = asyncio.get_running_loop()
    try:
        sock = await connect(port, receive_window=64 * 1024)
        request = (f"GET {target} HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: {PLAYER}\r\n"
                   "Connection: close\r\n\r\n").encode()
        await loop.sock_sendall(sock, request)
        data = bytearray()
        while True:
            chunk = await asyncio.wait_for(loop.sock_recv(sock, pace_bytes), 60)
            if not chunk:
                break
            data += chunk
            await asyncio.sleep(pace_seconds)
        sock.close()
    except (asyncio.TimeoutError, OSError) as error:
        results.append(f"failed: {error!r}")
        return
    head, _, body = bytes(data).partition(b"\r\n\r\n")
    if not head.startswith(b"HTTP/1.1 200 ") or len(body) != size:
        results.append(f"got {head[:30]!r} and {len(body)} bytes of {size}")
    else:
        results.append("ok")


async def downloads_shape(args):
    # A token of the current minute; wait out a turn of the minute so that
    # every request of the shape is made within the token's minute.
    if time.localtime().tm_sec > 40:
        await asyncio.sleep(61 - time.localtime().tm_sec)
    minute = time.strftime("%Y-%m-%d %H:%M")
    token = None
    with open(args.tokens) as tokens:
        for line in tokens:
            if line.startswith(minute + " "):
                token = line.split()[-1]
    if token is None:
        fail(f"no token for {minute} in {args.tokens}")
        return
    target = f"{args.media}?kavro={token}"
    results = []
    start = time.monotonic()
    tasks = [asyncio.create_task(download(args.port, target, args.media_size, args.pace_bytes,
                                          args.pace_seconds, results))
             for _ in range(args.downloads)]
    await asyncio.sleep(2.0)
    page_ms = await timed_page(args.port, "during the downloads")
    rss_peak = rss_kib(args.pid)
    await asyncio.gather(*tasks)
    seconds = time.monotonic() - start
    bad = [r for r in results if r != "ok"]
    if bad:
        fail(f"{len(bad)} of {args.downloads} downloads did not complete; first: {bad[0]}")
    print(f"shapes: downloads complete={len(results) - len(bad)}/{args.downloads} "
          f"page_ms={page_ms if page_ms is not None else float('nan'):.1f} "
          f"rss_kib={rss_peak} seconds={seconds:.1f}", flush=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--pid", type=int, action="append", required=True,
                        help="a serving process, for RSS (repeatable)")
    parser.add_argument("--idle", type=int, default=10000)
    parser.add_argument("--slow", type=int, default=1000)
    parser.add_argument("--downloads", type=int, default=1000)
    parser.add_argument("--tokens", required=True)
    parser.add_argument("--media", default="/media/clip.mp4")
    parser.add_argument("--media-size", type=int, required=True)
    parser.add_argument("--pace-bytes", type=int, default=64 * 1024)
    parser.add_argument("--pace-seconds", type=float, default=0.25)
    args = parser.parse_args()
    asyncio.run(idle_shape(args))
    asyncio.run(downloads_shape(args))
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
