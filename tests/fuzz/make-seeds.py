#!/usr/bin/env python3
"""Writes the seed corpora under tests/fuzz/corpus/, one folder per target.

The targets read their input with FuzzedDataProvider: texts from the front
(each ended by a backslash and one other byte), numbers from the back, and
the rest as the last text. A seed lists its numbers in the order the target
consumes them; they are stored reversed at the end.
"""
import os
import shutil

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")


def text(value):
    """A text field: backslashes doubled, then the terminator."""
    return value.replace(b"\\", b"\\\\") + b"\\\n"


def numbers(*values):
    """Each value as the bytes the provider reads for it, in reading order."""
    out = bytearray()
    for value, width in values:
        out += value.to_bytes(width, "big")
    return bytes(reversed(out))


def write(target, seeds):
    folder = os.path.join(CORPUS, target)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    for name, data in seeds.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)


SITE_INI = b"""; a guarded video site
[KAVRO]
DomainName=www.example.test
FriendDomain=www.friend.test
PubFile=public.rm
OpenSecurity=1
UrlLength=100
BadChar=<>
PubKey=secret
EncryptMode=2
CommonExt=.jpg.gif.css
AdvancedExt=.zip.rar
MediaExt=.rmvb.wmv
SuperExt=.exe.
Title=Stop
Alert=No hotlinks
PauseTime=0x1F
RedirectUrl="http://www.example.test/"
"""

write("parse_integer", {
    "blank-42": b" 42",
    "plus": b"+42",
    "negative-hex": b"-0x10",
    "x-prefix": b"x1A",
    "dollar-all-ones": b"$ffffffff",
    "dollar-too-long": b"$100000000",
    "int-max": b"2147483647",
    "int-max-plus-one": b"2147483648",
    "int-min": b"-2147483648",
    "leading-zero": b"012",
    "exponent": b"1e3",
    "tab": b"\t5",
    "zero-byte": b"12\x0034",
})

write("ini", {
    "site-title": SITE_INI + numbers((2048, 2), (3, 1), (0, 1)),
    "quoted-crlf": b"\xef\xbb\xbf[ kavro ]\r\nPubKey = 'k e y' \r\n[KAVRO]\r\nPubKey=second\r\n"
                   + numbers((2048, 2), (1, 1), (1, 1)),
    "comment-and-short-buffer": b";[KAVRO]\n[KAVRO]\n;Title=no\nTitle=yes\n"
                                + numbers((3, 2), (3, 1), (0, 1)),
    "numbers": b"[KAVRO]\nPauseTime=-0x10\nOpenSecurity=$0\nUrlLength=2147483648\n"
               + numbers((100, 2), (4, 1), (0, 1)),
})

# Date patterns: year, month, day, then the direct branch (bool false):
# separator, lead-byte mode, short and long patterns, no eras.
def date_seed(pattern, separator=b"/", leads=0, short=b"m/d/yy", long=b"mmmm d, yyyy"):
    return (text(short) + text(long) + pattern
            + numbers((2026, 2), (11, 1), (7, 1), (0, 1), (separator[0], 1), (leads, 1), (0, 1)))

write("date_pattern", {
    "default": date_seed(b"m/d/yy"),
    "dashes": date_seed(b"yyyy-M-d", b"-"),
    "quoted": date_seed(b"'Day' d \"dd\""),
    "nested": date_seed(b"ddddd | dddddd | dddd ddd mmmm mmm"),
    "clock-letters": date_seed(b"h:nn:ss tt z"),
    "double-byte": date_seed(b"yyyy\xc4\xea\x4d\xd4\xc2d\xc8\xd5", leads=1),
    "eras": date_seed(b"gg ee eeee"),
})

# Paths: lead-byte mode, delimiter mode, index, count; the needle, then the path.
def path_seed(path, leads=0, delimiters=0, needle=b".rm"):
    return text(needle) + path + numbers((leads, 1), (delimiters, 1), (3, 2), (5, 2))

write("path", {
    "windows": path_seed(b"D:\\media\\movie.RMVB"),
    "dotted-folder": path_seed(b"D:\\media.old\\movie"),
    "trailing-dot": path_seed(b"D:\\media\\movie."),
    "posix": path_seed(b"/srv/www/x.tar.gz", delimiters=1),
    "double-byte-backslash": path_seed(b"D:\\\x81\\name.rm", leads=1),
    "drive-only": path_seed(b"D:movie.rm"),
})

# Digest: the number of cuts, each cut's piece length in two bytes (low
# byte first), then the message.
def digest_seed(pieces, message):
    return bytes([len(pieces)]) + b"".join(p.to_bytes(2, "little") for p in pieces) + message


write("digest", {
    "empty": b"",
    "abc": digest_seed([], b"abc"),
    "block-in-pieces": digest_seed([1, 63, 0], b"a" * 64),
    "long": digest_seed([5, 55, 64, 1, 0, 255, 9, 300], bytes(range(256)) * 4),
})

# The policy: quirk, AllocMem failure, notification kind, null notification,
# lead bytes, year, month, day, hour, minute, path buffer size; then for each
# of the six variables whether it is present (non-zero), its text and its
# padding; then the path, then the INI file.
VARIABLES = ["HTTP_HOST", "HTTP_REFERER", "REMOTE_ADDR", "QUERY_STRING", "HTTP_COOKIE",
             "HTTP_USER_AGENT"]


def policy_seed(ini, path, values, buffer=260, leads=0, quirk=0, alloc=1, padding=None):
    front = bytearray()
    ints = [(quirk, 1), (alloc, 1), (1, 1), (1, 1), (leads, 1), (2026, 2), (12, 1), (8, 1),
            (15, 1), (30, 1), (buffer, 2)]
    padding = padding or {}
    for name in VARIABLES:
        value = values.get(name)
        if value is None:
            ints.append((0, 1))
            continue
        ints.append((1, 1))
        front += text(value)
        ints.append((padding.get(name, 0), 1))
    front += text(path)
    return bytes(front) + ini + numbers(*ints)


BROWSER = b"Mozilla/5.0 (Windows NT 10.0)"
write("policy", {
    "media-valid-token": policy_seed(SITE_INI, b"/srv/www/movie.wmv", {
        "HTTP_HOST": b"www.example.test", "REMOTE_ADDR": b"192.0.2.10",
        "QUERY_STRING": b"id=1&kavro={T}", "HTTP_USER_AGENT": b"NSPlayer/12.0"}),
    "advanced-stale-token": policy_seed(SITE_INI, b"/srv/www/f.zip", {
        "HTTP_HOST": b"www.example.test", "REMOTE_ADDR": b"192.0.2.10",
        "QUERY_STRING": b"kavro=0123456789abcdef0123456789abcdef", "HTTP_USER_AGENT": BROWSER}),
    "common-same-host": policy_seed(SITE_INI, b"/srv/www/a.jpg", {
        "HTTP_HOST": b"www.example.test", "HTTP_REFERER": b"https://www.example.test/x",
        "REMOTE_ADDR": b"192.0.2.10", "HTTP_USER_AGENT": BROWSER}),
    "diverted-small-buffer": policy_seed(
        b"[KAVRO]\nSuperExt=.exe\nSuperAction=0\n", b"/a.exe", {"HTTP_HOST": b"a.test"},
        buffer=7),
    "long-query": policy_seed(SITE_INI, b"/srv/www/notes.txt", {
        "HTTP_HOST": b"www.example.test", "QUERY_STRING": b"a=<>"}, padding={"QUERY_STRING": 7}),
    "cookie-token-double-byte": policy_seed(
        b"[KAVRO]\nPassMode=0\nPubKey=k\nEncryptMode=3\nMediaExt=.wmv\nPlayOnline=0\n",
        b"D:\\\x81\\movie.wmv", {"HTTP_HOST": b"h.test", "REMOTE_ADDR": b"::1",
                                 "HTTP_COOKIE": b"a=b; KAVRO={T}"}, leads=1),
    "foreign-referer-block-page": policy_seed(
        b"[KAVRO]\nFriendDomain=friend.test\nSuperExt=.exe\nTitle=<b>T</b>\nPauseTime=-1\n",
        b"/srv/www/x.exe", {"HTTP_HOST": b"h.test", "HTTP_REFERER": b"http://other.test/"}),
})

total = 0
for root, _, files in os.walk(CORPUS):
    total += sum(os.path.getsize(os.path.join(root, f)) for f in files)
print(f"seed corpora written: {total} bytes")
