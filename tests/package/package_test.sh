#!/usr/bin/env bash
# The Debian packages end to end, on this machine, leaving it as it was:
#
#  1. builds both packages from this build with cpack;
#  2. checks them with dpkg-deb: every path, owner and mode, that no path of the
#     build or source tree is in any file, the control fields, the dependencies
#     dpkg-shlibdeps found, the conffile and maintainer scripts;
#  3. installs them with dpkg -i and runs systemd-analyze verify on the
#     installed unit (nothing is started through systemd);
#  4. starts the installed relay as the unit's ExecStart does, with the
#     installed /etc/default/orlune-relay, as an unprivileged user without new
#     privileges and with the unit's LimitNOFILE, inside a private network
#     namespace (its own loopback, so the fixed ports 54321 and 8080 are free);
#     streams the stream demo into it, has a listener receive the room over its
#     WebSocket and checks the sine that arrives and the page it serves from
#     /usr/share/orlune-relay/web;
#  5. loads the installed bundle from /usr/lib/vst3 with orlune-smoke;
#  6. removes both with dpkg -r and checks that nothing of them is left but
#     what Debian keeps until a purge (the conffile, the service's enablement),
#     then purges them and checks that the machine is exactly as before.
#
# Needs root and a machine where systemd does not run as init (CI's container):
# elsewhere it skips (exit 77) and says why.
#
#   package_test.sh BUILD_DIR SOURCE_DIR SMOKE_TOOL STREAM_DEMO ROOM_LISTENER
set -euo pipefail

if [ "${1:-}" = --inside-netns ]; then
    shift
    mode=netns
else
    mode=main
fi

build_dir="$1"
source_dir="$2"
smoke="$3"
demo="$4"
listener="$5"

packages=(vesk-orlune-vst3 orlune-relay)
unit=/lib/systemd/system/orlune-relay.service
bundle="/usr/lib/vst3/Vesk Orlune.vst3"

say() { echo "package test: $*"; }
fail() {
    echo "package test: FAILED: $*" >&2
    exit 1
}

# ---------------------------------------------------------------------------
# Step 4, inside a private network namespace (the script re-runs itself there).
# ---------------------------------------------------------------------------
run_relay_and_stream() {
    local work="$6"
    ip link set lo up

    # The unit's ExecStart, EnvironmentFile and LimitNOFILE, as systemd reads them.
    local exec_start env_file nofile
    exec_start="$(sed -n 's/^ExecStart=//p' "$unit")"
    env_file="$(sed -n 's/^EnvironmentFile=-\{0,1\}//p' "$unit")"
    nofile="$(sed -n 's/^LimitNOFILE=//p' "$unit")"
    [ -n "$exec_start" ] && [ -n "$env_file" ] && [ -n "$nofile" ] || fail "unit lacks ExecStart, EnvironmentFile or LimitNOFILE"
    [ -r "$env_file" ] || fail "no $env_file"

    # EnvironmentFile: VAR=value or VAR="value" lines, '#' comments.
    declare -A env=()
    local line name value
    while IFS= read -r line || [ -n "$line" ]; do
        case "$line" in '' | '#'* | ';'*) continue ;; esac
        name="${line%%=*}"
        value="${line#*=}"
        value="${value#\"}"
        value="${value%\"}"
        env["$name"]="$value"
    done <"$env_file"

    # ExecStart: $VAR is split at white space into words, ${VAR} is one word.
    local -a command=()
    local word
    set -f
    for word in $exec_start; do
        if [[ "$word" =~ ^\$([A-Za-z_][A-Za-z0-9_]*)$ ]]; then
            # shellcheck disable=SC2206
            command+=(${env[${BASH_REMATCH[1]}]:-})
        elif [[ "$word" =~ ^\$\{([A-Za-z_][A-Za-z0-9_]*)\}$ ]]; then
            command+=("${env[${BASH_REMATCH[1]}]:-}")
        else
            command+=("$word")
        fi
    done
    set +f
    [ "${command[0]}" = /usr/bin/orlune-relay ] || fail "ExecStart runs ${command[0]}, not /usr/bin/orlune-relay"

    local http_port=8080 udp_port=54321 metrics_address=127.0.0.1:9465 i
    for ((i = 0; i < ${#command[@]} - 1; i++)); do
        [ "${command[i]}" = --http-port ] && http_port="${command[i + 1]}"
        [ "${command[i]}" = --udp-port ] && udp_port="${command[i + 1]}"
        [ "${command[i]}" = --metrics-address ] && metrics_address="${command[i + 1]}"
    done
    case "$metrics_address" in
        127.*:* | "[::1]":*) ;;
        *) fail "the default options serve the metrics on $metrics_address, not on loopback" ;;
    esac
    [ "$udp_port" = 54321 ] || fail "the default options move the relay off UDP port 54321, where the plug-in sends"

    say "starting as ExecStart does: ${command[*]} (user nobody, no new privileges, LimitNOFILE=$nofile)"
    prlimit --nofile="$nofile:$nofile" -- \
        setpriv --reuid=nobody --regid=nogroup --clear-groups --no-new-privs --inh-caps=-all -- \
        "${command[@]}" >"$work/relay.log" 2>&1 &
    local relay_pid=$!
    # shellcheck disable=SC2064
    trap "kill $relay_pid 2>/dev/null || true" EXIT

    local up=0
    for _ in $(seq 100); do
        if curl -fs "http://127.0.0.1:$http_port/healthz" >/dev/null 2>&1; then
            up=1
            break
        fi
        kill -0 "$relay_pid" 2>/dev/null || { cat "$work/relay.log" >&2; fail "the installed relay exited"; }
        sleep 0.1
    done
    [ "$up" = 1 ] || fail "the installed relay did not answer on 127.0.0.1:$http_port"
    cat "$work/relay.log"
    grep -q "web root /usr/share/orlune-relay/web\$" "$work/relay.log" ||
        fail "the installed relay does not serve /usr/share/orlune-relay/web"

    local room=pkgtest
    curl -fs "http://127.0.0.1:$http_port/orlune/$room" -o "$work/page.html" || fail "no player page for room $room"
    cmp -s "$work/page.html" /usr/share/orlune-relay/web/index.html || fail "the page is not the installed index.html"
    local file
    for file in /usr/share/orlune-relay/web/*; do
        [ "$(basename "$file")" = index.html ] && continue
        curl -fs "http://127.0.0.1:$http_port/orlune/$(basename "$file")" -o "$work/served" ||
            fail "the relay does not serve $(basename "$file")"
        cmp -s "$work/served" "$file" || fail "$(basename "$file") as served differs from the installed file"
    done
    say "player page and its files come from /usr/share/orlune-relay/web"

    # The listener first (it waits for the stream), then 6 s of the demo's
    # 1 kHz sine at -12 dBFS from the plug-in's processor at a 44.1 kHz host rate.
    "$listener" --port "$http_port" --room "$room" --messages 375 --seconds 30 --tone 1000 --level -12 &
    local listener_pid=$!
    sleep 0.5
    "$demo" --no-receive --room "$room" --seconds 6 --rate 44100 --tone 1000 --level -12 >"$work/demo.log" 2>&1 ||
        { cat "$work/demo.log" >&2; fail "the stream demo failed"; }
    wait "$listener_pid" || fail "the listener did not receive the demo's stream"

    # The figures name the room: never on the listeners' port, only on the metrics address.
    local public_status
    public_status="$(curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$http_port/metrics")"
    [ "$public_status" = 404 ] || fail "the HTTP port answers /metrics with $public_status, not 404"
    curl -fs "http://$metrics_address/metrics" -o "$work/metrics" || fail "no metrics on $metrics_address"
    grep -E "^orlune_relay_(datagrams_received_total|listeners_accepted_total|room_datagrams_total\{room=\"$room\"\}) " "$work/metrics" ||
        fail "the metrics on $metrics_address lack the room's figures"
    say "metrics on $metrics_address only; /metrics on the HTTP port is 404"

    kill -TERM "$relay_pid"
    local status=0
    wait "$relay_pid" || status=$?
    trap - EXIT
    [ "$status" = 0 ] || { cat "$work/relay.log" >&2; fail "the relay exited with $status on SIGTERM"; }
    grep -q "orlune-relay: stopped" "$work/relay.log" || fail "the relay did not stop cleanly"
    say "relay stopped cleanly on SIGTERM"
}

if [ "$mode" = netns ]; then
    run_relay_and_stream "$@"
    exit 0
fi

# ---------------------------------------------------------------------------
# Preconditions
# ---------------------------------------------------------------------------
skip() {
    echo "package test: SKIPPED: $*"
    exit 77
}
[ "$(id -u)" -eq 0 ] || skip "needs root (dpkg -i into /usr, a private network namespace); CI runs it as root"
[ ! -d /run/systemd/system ] ||
    skip "systemd runs on this machine, so installing orlune-relay would start it; run it where systemd is not init (CI's container)"
for p in "${packages[@]}"; do
    status="$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)"
    if [ -n "$status" ] && [ "$status" != not-installed ]; then
        skip "$p is already on this machine; the test installs and purges only its own copy"
    fi
done
for tool in dpkg dpkg-deb dpkg-shlibdeps cpack systemd-analyze unshare setpriv prlimit ip curl readelf; do
    command -v "$tool" >/dev/null || fail "$tool is missing (scripts/bootstrap installs it)"
done
for f in "$smoke" "$demo" "$listener"; do
    [ -x "$f" ] || fail "$f is not built"
done

work="$(mktemp -d /tmp/vesk-package-test.XXXXXX)"
installed=0
cleanup() {
    if [ "$installed" = 1 ]; then
        dpkg --purge "${packages[@]}" >/dev/null 2>&1 || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

# What of the packages could be on the machine, before and after.
state() {
    local p
    for p in /usr/lib/vst3 "$bundle" /usr/bin/orlune-relay /usr/share/orlune-relay \
        /usr/share/doc/orlune-relay /usr/share/doc/vesk-orlune-vst3 /etc/default/orlune-relay \
        "$unit" /etc/systemd/system /var/lib/systemd/deb-systemd-helper-enabled \
        /var/lib/systemd/deb-systemd-helper-masked; do
        if [ -e "$p" ] || [ -L "$p" ]; then
            find "$p" -printf '%p %y %m %l\n'
        fi
    done | sort
    for p in "${packages[@]}"; do
        echo "$p: $(dpkg-query -W -f='${db:Status-Abbrev}' "$p" 2>/dev/null || echo absent)"
    done
}
state >"$work/state-before"

# ---------------------------------------------------------------------------
# 1. Build the packages
# ---------------------------------------------------------------------------
started=$SECONDS
cpack --config "$build_dir/CPackConfig.cmake" -B "$work/cpack" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log" >&2; fail "cpack failed"; }
mkdir -p "$work/debs"
mv "$work"/cpack/*.deb "$work/debs/"
say "cpack built $(cd "$work/debs" && echo *.deb) in $((SECONDS - started)) s"

version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build_dir/CMakeCache.txt")"
arch="$(dpkg --print-architecture)"
deb_of() { echo "$work/debs/${1}_${version}-1_${arch}.deb"; }
for p in "${packages[@]}"; do
    [ -f "$(deb_of "$p")" ] || fail "no $(basename "$(deb_of "$p")")"
done

# ---------------------------------------------------------------------------
# 2. Contents and metadata
# ---------------------------------------------------------------------------
# Expected regular files, exactly.
{
    echo "./usr/lib/vst3/Vesk Orlune.vst3/Contents/Resources/moduleinfo.json"
    echo "./usr/lib/vst3/Vesk Orlune.vst3/Contents/x86_64-linux/Vesk Orlune.so"
    echo "./usr/share/doc/vesk-orlune-vst3/copyright"
} | sort >"$work/expected-vesk-orlune-vst3"
{
    echo "./etc/default/orlune-relay"
    echo ".$unit"
    echo "./usr/bin/orlune-relay"
    echo "./usr/share/doc/orlune-relay/README.md"
    for page in protocol threads cluster operations benchmarks; do
        echo "./usr/share/doc/orlune-relay/relay-$page.md"
    done
    echo "./usr/share/doc/orlune-relay/copyright"
    echo "./usr/share/doc/orlune-relay/examples/tls-on-443.conf"
    for f in "$source_dir"/web/*; do
        case "$f" in *.html | *.js | *.css | *.png | *.svg | *.json) echo "./usr/share/orlune-relay/web/$(basename "$f")" ;; esac
    done
} | sort >"$work/expected-orlune-relay"

for p in "${packages[@]}"; do
    deb="$(deb_of "$p")"
    say "--- $p: dpkg-deb -I"
    dpkg-deb -I "$deb" | tee "$work/info-$p"
    dpkg-deb -c "$deb" >"$work/contents-$p"

    # Paths: the expected files, nothing else; directories only on their way.
    grep -E '^-' "$work/contents-$p" | sed -E 's/^([^ ]+ +){5}//' | sort >"$work/files-$p"
    diff -u "$work/expected-$p" "$work/files-$p" || fail "$p: the files differ from the expected list"
    awk '$1 !~ /^[-d]/' "$work/contents-$p" | grep . && fail "$p: holds something that is neither a file nor a folder"
    sed -E 's/^([^ ]+ +){5}//' "$work/contents-$p" | grep -vE '^\./((usr|etc|lib)(/.*)?)?$' &&
        fail "$p: a path outside /usr, /etc and /lib"
    awk '$2 != "root/root"' "$work/contents-$p" | grep . && fail "$p: a file not owned by root"
    grep -E '^d' "$work/contents-$p" | awk '$1 != "drwxr-xr-x"' | grep . && fail "$p: a folder not 0755"
    grep -E '^-' "$work/contents-$p" | grep -v '/usr/bin/' | awk '$1 != "-rw-r--r--"' | grep . &&
        fail "$p: a file not 0644"
    grep -E '^-.* \./usr/bin/' "$work/contents-$p" | awk '$1 != "-rwxr-xr-x"' | grep . && fail "$p: a program not 0755"

    # No path of this build or its sources in any file or in the control files.
    mkdir -p "$work/x-$p" "$work/c-$p"
    dpkg-deb -x "$deb" "$work/x-$p"
    dpkg-deb -e "$deb" "$work/c-$p"
    trees=("$build_dir" "$source_dir" "$(cd "$source_dir" && pwd -P)")
    [ ! -d "$source_dir/third_party" ] || trees+=("$(cd "$source_dir/third_party" && pwd -P)")
    for tree in "${trees[@]}"; do
        if grep -rlF -- "$tree" "$work/x-$p" "$work/c-$p"; then
            fail "$p: a file above holds the path $tree"
        fi
    done
    while IFS= read -r -d '' elf; do
        if readelf -d "$elf" 2>/dev/null | grep -E '\((RPATH|RUNPATH)\)'; then
            fail "$p: $elf has a run-time search path"
        fi
    done < <(find "$work/x-$p" -type f -print0)

    # Control fields.
    field() { dpkg-deb -f "$deb" "$1"; }
    [ "$(field Package)" = "$p" ] || fail "$p: Package is $(field Package)"
    [ "$(field Version)" = "$version-1" ] || fail "$p: Version is $(field Version)"
    [ "$(field Architecture)" = "$arch" ] || fail "$p: Architecture is $(field Architecture)"
    [ -n "$(field Maintainer)" ] || fail "$p: no Maintainer"
    # Read whole, not through `head`: with pipefail, dpkg-deb cut off by a closed pipe reads as
    # a missing field.
    description="$(field Description)"
    [ -n "${description%%$'\n'*}" ] || fail "$p: no Description"
    depends="$(field Depends)"
    [ -n "$depends" ] || fail "$p: no Depends (dpkg-shlibdeps found nothing)"
    for lib in libc6 libstdc++6 libgcc-s1; do
        [[ ", $depends," == *", $lib ("* ]] || fail "$p: Depends lacks $lib: $depends"
    done
done
# What each binary links, as dpkg-shlibdeps saw it.
for lib in libfreetype6 libfontconfig1; do
    [[ ", $(dpkg-deb -f "$(deb_of vesk-orlune-vst3)" Depends)," == *", $lib ("* ]] ||
        fail "vesk-orlune-vst3: Depends lacks $lib"
done
[[ ", $(dpkg-deb -f "$(deb_of orlune-relay)" Depends)," == *", libssl3 ("* ]] ||
    fail "orlune-relay: Depends lacks libssl3"
# The installed documentation's links to each other lead to installed pages.
docs="$work/x-orlune-relay/usr/share/doc/orlune-relay"
for page in "$docs"/*.md; do
    while IFS= read -r target; do
        [ -f "$docs/${target%%#*}" ] || fail "orlune-relay: $(basename "$page") links to $target, which is not installed"
    done < <(grep -oE '\]\([^)#:]+\.md(#[^)]*)?\)' "$page" | sed -E 's/^\]\(//; s/\)$//')
done
# Neither package depends on anything of this build.
for p in "${packages[@]}"; do
    ldd_libs="$(find "$work/x-$p" -type f \( -name '*.so' -o -perm -u+x \) -exec sh -c 'ldd "$1" 2>/dev/null' _ {} \;)"
    if [[ "$ldd_libs" == *"not found"* ]]; then
        echo "$ldd_libs" >&2
        fail "$p: a library its binaries link is not on this machine"
    fi
done

# Maintainer scripts and conffiles.
[ "$(cat "$work/c-orlune-relay/conffiles")" = /etc/default/orlune-relay ] ||
    fail "orlune-relay: conffiles is not /etc/default/orlune-relay"
for script in postinst prerm postrm; do
    [ -x "$work/c-orlune-relay/$script" ] || fail "orlune-relay: no $script"
    sh -n "$work/c-orlune-relay/$script" || fail "orlune-relay: $script is not valid sh"
done
[ ! -e "$work/c-vesk-orlune-vst3/conffiles" ] || fail "vesk-orlune-vst3 has conffiles"
for script in preinst postinst prerm postrm; do
    [ ! -e "$work/c-vesk-orlune-vst3/$script" ] || fail "vesk-orlune-vst3 has a $script"
done

# The unit: the settings the relay's service promises.
unit_file="$work/x-orlune-relay$unit"
for setting in "DynamicUser=yes" "ProtectSystem=strict" "ProtectHome=yes" "NoNewPrivileges=yes" \
    "PrivateTmp=yes" "RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX" "Restart=on-failure" \
    "EnvironmentFile=-/etc/default/orlune-relay" "CapabilityBoundingSet=" "AmbientCapabilities="; do
    grep -qxF "$setting" "$unit_file" || fail "the unit lacks $setting"
done
nofile="$(sed -n 's/^LimitNOFILE=//p' "$unit_file")"
max_connections="$("$work/x-orlune-relay/usr/bin/orlune-relay" --help | sed -n 's/.*--max-connections N.*(default \([0-9]*\)).*/\1/p')"
[ -n "$max_connections" ] && [ "$nofile" -ge $((max_connections + 64)) ] ||
    fail "LimitNOFILE=$nofile leaves no room for the default --max-connections $max_connections"
say "packages: paths, modes, control fields, dependencies and unit settings as expected"

# ---------------------------------------------------------------------------
# 3. Install, verify the unit
# ---------------------------------------------------------------------------
installed=1
dpkg -i "$(deb_of vesk-orlune-vst3)" "$(deb_of orlune-relay)" || fail "dpkg -i failed"
for p in "${packages[@]}"; do
    [ "$(dpkg-query -W -f='${db:Status-Abbrev}' "$p")" = "ii " ] || fail "$p is not installed"
done
[ -f "$bundle/Contents/x86_64-linux/Vesk Orlune.so" ] || fail "no bundle in /usr/lib/vst3"
[ -L /etc/systemd/system/multi-user.target.wants/orlune-relay.service ] ||
    fail "postinst did not enable orlune-relay.service"

say "systemd-analyze verify $unit"
systemd-analyze verify "$unit" 2>&1 | tee "$work/verify.log"
[ "${PIPESTATUS[0]}" = 0 ] || fail "systemd-analyze verify failed"
[ ! -s "$work/verify.log" ] || fail "systemd-analyze verify had something to say about the unit"
systemd-analyze security --offline=true "$unit" 2>/dev/null | tail -n 1 || true

# The example drop-in for TLS on port 443 must verify too, on top of the unit
# (a unit folder of the test's own, searched first, holds it).
mkdir -p "$work/units/orlune-relay.service.d"
cp "$unit" "$work/units/"
cp /usr/share/doc/orlune-relay/examples/tls-on-443.conf "$work/units/orlune-relay.service.d/"
SYSTEMD_UNIT_PATH="$work/units:" systemd-analyze verify orlune-relay.service 2>&1 | tee "$work/verify-dropin.log"
[ "${PIPESTATUS[0]}" = 0 ] || fail "systemd-analyze verify failed with the tls-on-443 drop-in"
[ ! -s "$work/verify-dropin.log" ] || fail "systemd-analyze verify had something to say about the tls-on-443 drop-in"
say "the unit and the tls-on-443 drop-in verify"

# ---------------------------------------------------------------------------
# 4. Run the installed relay as the unit does; stream into it; listen
# ---------------------------------------------------------------------------
unshare --net -- bash "${BASH_SOURCE[0]}" --inside-netns "$build_dir" "$source_dir" "$smoke" "$demo" "$listener" "$work" ||
    fail "the installed relay did not carry the stream"

# ---------------------------------------------------------------------------
# 5. Load the installed bundle with the project's host tool
# ---------------------------------------------------------------------------
say "orlune-smoke $bundle"
"$smoke" "$bundle" || fail "orlune-smoke could not use the installed bundle"

# ---------------------------------------------------------------------------
# 6. Remove, then purge
# ---------------------------------------------------------------------------
dpkg -r "${packages[@]}" || fail "dpkg -r failed"
for p in "${packages[@]}"; do
    while IFS= read -r path; do
        path="${path#.}"
        [ "$path" = /etc/default/orlune-relay ] && continue
        [ ! -e "$path" ] || fail "$path is left after dpkg -r"
    done <"$work/files-$p"
done
pgrep -x orlune-relay -u nobody >/dev/null && fail "an orlune-relay runs as nobody after the test"
state >"$work/state-removed"
say "after dpkg -r, all that is left of them is what dpkg and deb-systemd-helper keep until a purge:"
diff "$work/state-before" "$work/state-removed" >"$work/state-diff" || true
sed -n 's/^> /    /p' "$work/state-diff"
grep -E '^< ' "$work/state-diff" | grep -vE '^< (orlune-relay|vesk-orlune-vst3): ' && fail "dpkg -r took away something that was there before the test"
sed -n 's/^> //p' "$work/state-diff" |
    grep -vE '^(/etc/default/orlune-relay |/etc/systemd/system(/multi-user\.target\.wants)? |/etc/systemd/system/multi-user\.target\.wants/orlune-relay\.service |/var/lib/systemd/deb-systemd-helper-enabled(/multi-user\.target\.wants)? |/var/lib/systemd/deb-systemd-helper-enabled/(multi-user\.target\.wants/)?orlune-relay\.service|orlune-relay: rc |vesk-orlune-vst3: (un|pn) )' &&
    fail "more than the conffile and the enablement is left after dpkg -r"
[ "$(dpkg-query -W -f='${db:Status-Abbrev}' orlune-relay)" = "rc " ] || fail "orlune-relay is not in config-files state"

[ "$(dpkg-query -W -f='${db:Status-Abbrev}' vesk-orlune-vst3 2>/dev/null || true)" != "rc " ] ||
    fail "vesk-orlune-vst3 has no conffiles, yet dpkg keeps it in config-files state"
dpkg --purge orlune-relay || fail "dpkg --purge failed"
installed=0
state >"$work/state-after"
diff -u "$work/state-before" "$work/state-after" || fail "the machine is not as before after dpkg --purge"
say "after dpkg --purge nothing of either package is left"
echo "package test: passed"
