#!/usr/bin/env bash
# The launcher's main job, end to end on this machine: a local HTTPS setup host
# serves a demo release; the launcher installs it on an empty install root and
# starts the (stand-in) player from a link, then the studio from an edit link,
# then finds the version complete on a second play link.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
scripts/build-linux-deps.sh
cmake --preset dev >/dev/null
cmake --build build/dev -j "$(nproc)" >/dev/null

demo=build/demo
rm -rf "$demo"
mkdir -p "$demo/downloads" "$demo/home"
version=version-20261206000000

python3 tools/certs.py "$demo/certs" >/dev/null
python3 tools/make_release.py --version "$version" --out "$demo/release" \
  --player-dir build/dev/tools/standin/player --studio-dir build/dev/tools/standin/studio >/dev/null

python3 tools/setup_host.py --root "$demo/release" --port 28443 \
  --cert "$demo/certs/localhost.pem" --key "$demo/certs/localhost-key.pem" \
  --ready-file "$demo/host.ready" &
host=$!
trap 'kill $host 2>/dev/null; wait $host 2>/dev/null || true' EXIT
for _ in $(seq 100); do [ -e "$demo/host.ready" ] && break; sleep 0.1; done

# As if downloaded by the user: the launcher alone in a folder.
cp build/dev/bin/velmora-launcher "$demo/downloads/"
export LOCALAPPDATA="$PWD/$demo/appdata" HOME="$PWD/$demo/home" YRT_CA_BUNDLE="$PWD/$demo/certs/ca.pem"
export XDG_CONFIG_HOME="$HOME/.config" XDG_DATA_HOME="$HOME/.local/share"
unset DISPLAY WAYLAND_DISPLAY

site=www.velmora.com
play="velmora-player:1+launchmode:play+gameinfo:demo-ticket+placelauncherurl:https%3A%2F%2F$site%2FGame%2FPlaceLauncher.ashx%3FplaceId%3D1920+browsertrackerid:42"
edit="velmora-player:1+launchmode:edit+gameinfo:demo-ticket+script:https%3A%2F%2F$site%2FGame%2FEdit.ashx%3FPlaceID%3D1920"

step() { printf '\n== %s\n$ velmora-launcher %s\n' "$1" "$2"; }
run() { "$demo/downloads/velmora-launcher" "$@"; sleep 0.3; }  # let the started program print

step "First start from a play link: installs $version, then starts the player" "'$play'"
run "$play"
: > "$demo/release/_requests.log"

step "Edit link: installs the studio into the same version on first use" "'$edit'"
"$LOCALAPPDATA/Velmora/Launcher/velmora-launcher" "$edit"; sleep 0.3
: > "$demo/release/_requests.log"

step "Second play link, through the registered copy: the version is complete" "'$play'"
"$LOCALAPPDATA/Velmora/Launcher/velmora-launcher" "$play"; sleep 0.3
printf '\nRequests to the setup host for that start: %s\n' "$(wc -l < "$demo/release/_requests.log")"

printf '\nInstall root %s:\n' "$LOCALAPPDATA/Velmora"
(cd "$LOCALAPPDATA/Velmora" && find . -maxdepth 3 -not -path './Versions/*/*/*' | sort | head -40)
printf '\nRegistered for velmora-player: links (%s):\n' "$XDG_CONFIG_HOME/velmora/registry.reg"
cat "$XDG_CONFIG_HOME/velmora/registry.reg"
