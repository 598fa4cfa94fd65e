#!/usr/bin/env bash
# Runs the README's quick start as a new user would, with the commands taken from README.md
# itself, so the text cannot drift from what the server does.
#   readme_quickstart.sh <source tree> <build folder>
# The two blocks after "<!-- quick start: server -->" and "<!-- quick start: bot -->" run as
# written, from a tree of their own: a temporary folder whose scripts/ is the tree's and whose
# build/ is the given build folder (already built), so scripts/run writes its config.json
# there and builds nothing. They run in a network namespace of their own where one can be
# made, so the quick start's fixed port 8002 is free whatever else runs on this machine.
set -euo pipefail
src=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
for tool in curl wsdump; do
  command -v "$tool" >/dev/null || { echo "FAIL: $tool is missing (scripts/setup installs it)"; exit 1; }
done

if [ -z "${QUICKSTART_IN_NAMESPACE:-}" ]; then
  for flags in -n -rn; do
    if unshare "$flags" true 2>/dev/null; then
      exec unshare "$flags" env QUICKSTART_IN_NAMESPACE=1 bash "$0" "$src" "$build"
    fi
  done
  echo "note: no network namespace here; the quick start runs on this machine's loopback"
else
  ip link set lo up
fi

# The first fenced block after the marker line, without its fences.
block() {
  awk -v marker="<!-- quick start: $1 -->" '
    $0 == marker { found = 1; next }
    found && /^```/ { if (inside) exit; inside = 1; next }
    inside { print }' "$src/README.md"
}
server_block=$(block server)
bot_block=$(block bot)
[ -n "$server_block" ] || { echo "FAIL: README.md has no quick start server block"; exit 1; }
[ -n "$bot_block" ] || { echo "FAIL: README.md has no quick start bot block"; exit 1; }

tree=$(mktemp -d "${TMPDIR:-/tmp}/corvid-quickstart.XXXXXX")
server=""
finish() {
  if [ -n "$server" ]; then
    kill -TERM -- "-$server" 2>/dev/null || true
    wait "$server" 2>/dev/null || true
  fi
  rm -rf "$tree"
}
trap finish EXIT
ln -s "$src/scripts" "$tree/scripts"
ln -s "$build" "$tree/build"
cd "$tree"

# The server's terminal: its own process group, so the stop reaches whatever it started.
setsid bash -c "$server_block" >server.log 2>&1 &
server=$!
# The bot's terminal, bounded: a step that hangs fails the check instead of the whole suite.
status=0
timeout 120 bash -c "$bot_block" >bot.log 2>&1 || status=$?

fail() {
  echo "FAIL: $1"
  echo "---- the bot's terminal (exit status $status)"
  cat bot.log
  echo "---- the server's terminal"
  cat server.log
  exit 1
}
[ "$status" -eq 0 ] || fail "the bot's commands did not end well"
# Every REST answer on the way worked.
grep -q '"success":false' bot.log && fail "a REST answer reports a failure"
for answer in '"message":"Parlo打开成功"' '"message":"登录成功"' '"data":{"uid":"uid_standin"}' \
              '"message":"消息发送成功"'; do
  grep -qF "$answer" bot.log || fail "no answer with $answer"
done
# The WebSocket got its welcome, then the echo of the text the README sends.
content=$(printf '%s\n' "$bot_block" | grep -o '"content": "[^"]*"' | head -n 1)
[ -n "$content" ] || fail "the bot block sends no text"
grep -q '"type": "connection_established"' bot.log || fail "no welcome frame on the WebSocket"
grep -q '"type": 11046' bot.log || fail "no incoming text event on the WebSocket"
grep -q '"from_uid": "uid_echo"' bot.log || fail "the text event is not from uid_echo"
grep -qF "$content" bot.log || fail "the echo does not carry $content"
echo "quick start: the README's commands reached the echo on the WebSocket"
cat bot.log
