#!/usr/bin/env bash
# The installation as a user gets it: `cmake --install` into a temporary prefix, and the .deb that
# cpack makes from the same build unpacked into a temporary root. From each: the programs'
# --version, a small task on the installed vontal-cli, the launcher checked by
# desktop-file-validate and the user units by systemd-analyze verify.
#
#   install_test.sh BUILD_DIR VERSION WITH_GUI(ON/OFF)
#
# Exit status 0: all passed; 1: a check failed; 77 (skipped): all that could run passed, but a tool
# for some checks is missing (named at the end).
set -uo pipefail
build=$(cd "$1" && pwd)
version=$2
gui=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

failures=0
missing=()
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
have() { command -v "$1" >/dev/null 2>&1 || { missing+=("$1 ($2)"); return 1; }; }

# Checks an installed tree: PREFIX is where it lies (bin/, share/, lib/), UNIT_PREFIX the prefix
# that the unit names (the same, or /usr for the package), UNIT_DIR where the unit lies in it.
check_tree() {
  local what=$1 prefix=$2 unitPrefix=$3 unitDir=$4
  echo "== $what: $prefix"
  for f in bin/vontal-cli share/man/man1/vontal-cli.1 "$unitDir/vontal-cli.service" \
           share/doc/vontal/COPYING share/doc/vontal/copyright; do
    [ -f "$prefix/$f" ] || fail "$what: $f is not installed"
  done
  if [ "$gui" = ON ]; then
    for f in bin/vontal share/applications/vontal.desktop; do
      [ -f "$prefix/$f" ] || fail "$what: $f is not installed"
    done
    for size in 16 24 32 48 64 128 256; do
      local icon="$prefix/share/icons/hicolor/${size}x${size}/apps/vontal.png"
      # A PNG of the theme's size: the width and height stand in the IHDR chunk.
      if [ ! -f "$icon" ]; then
        fail "$what: no icon of $size pixels"
      elif [ "$(od -An -tx1 -j16 -N8 "$icon" | tr -d ' \n')" != "$(printf '%08x%08x' "$size" "$size")" ]; then
        fail "$what: the icon of $size pixels has another size"
      fi
    done
  fi

  # --version of both programs, from the build's version; the desktop program's needs no display.
  local out
  out=$("$prefix/bin/vontal-cli" --version) || fail "$what: vontal-cli --version failed"
  [[ "$out" =~ ^vontal-cli\ $version\ \(kernel\ [a-z0-9-]+\)$ ]] || fail "$what: vontal-cli --version said '$out'"
  if [ "$gui" = ON ]; then
    out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$prefix/bin/vontal" --version) ||
      fail "$what: vontal --version failed"
    [[ "$out" =~ ^vontal\ $version\ \(kernel\ [a-z0-9-]+\)$ ]] || fail "$what: vontal --version said '$out'"
  fi

  # A small task, in a folder of its own; the thread keeps this test's priority.
  local data="$work/data-$what"
  mkdir -p "$data"
  printf '[f]\r\nPriority=-1\r\n' > "$data/Vontal.ini"
  out=$("$prefix/bin/vontal-cli" --dir "$data" --task "n=8 to 20, k=1 to 2000" 2>"$work/err") ||
    fail "$what: the small task failed: $(cat "$work/err")"
  [ "$(grep -c 'divides F_' <<<"$out")" = 9 ] || fail "$what: the small task found: $out"
  [ "$(grep -c 'divides F_' "$data/Result.txt")" = 9 ] || fail "$what: Result.txt of the small task"
  # Installed, it keeps its files in the user's data folder.
  out=$(HOME="$work/home" XDG_DATA_HOME= "$prefix/bin/vontal-cli" --show-dir)
  [ "$out" = "$work/home/.local/share/Vontal" ] || fail "$what: data folder '$out'"

  # The launcher.
  if [ "$gui" = ON ] && have desktop-file-validate desktop-file-utils; then
    desktop-file-validate "$prefix/share/applications/vontal.desktop" || fail "$what: the launcher does not validate"
    grep -qx 'Exec=vontal' "$prefix/share/applications/vontal.desktop" || fail "$what: the launcher's Exec"
  fi

  # The user units: each must run its installed program.
  # vontal-server's comes with the server, which is built where Qt HTTP Server is found.
  check_unit "$what" "$prefix" "$unitPrefix" "$unitDir" vontal-cli
  if [ -f "$build/bin/vontal-server" ]; then
    [ -f "$prefix/bin/vontal-server" ] || fail "$what: bin/vontal-server is not installed"
    check_unit "$what" "$prefix" "$unitPrefix" "$unitDir" vontal-server
  fi
}

check_unit() {
  local what=$1 prefix=$2 unitPrefix=$3 unitDir=$4 program=$5
  local unit="$prefix/$unitDir/$program.service"
  [ -f "$unit" ] || { fail "$what: $unitDir/$program.service is not installed"; return; }
  # vontal-cli ends with status 143 on SIGTERM (the position saved); the server with 0.
  if [ "$program" = vontal-cli ]; then
    grep -qx 'SuccessExitStatus=143' "$unit" || fail "$what: the unit of $program does not accept the SIGTERM status"
  fi
  local exec
  exec=$(sed -n 's/^ExecStart=//p' "$unit")
  [ "$exec" = "$unitPrefix/bin/$program" ] || fail "$what: the unit of $program runs '$exec'"
  if have systemd-analyze systemd; then
    # A package's unit names /usr/bin; here the files lie in an unpacked root.
    local checked="$work/$program.service"
    sed "s|^ExecStart=$unitPrefix/|ExecStart=$prefix/|" "$unit" > "$checked"
    local man=(--man=no)
    command -v man >/dev/null && man=()
    MANPATH="$prefix/share/man" systemd-analyze verify "${man[@]}" "$checked" || fail "$what: the unit of $program does not verify"
  fi
}

# Installed into a prefix of the user's own: the unit names the prefix itself, and lies where the
# user's systemd looks under such a prefix (share/systemd/user, as in ~/.local).
prefix="$work/prefix"
if cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1; then
  check_tree install "$prefix" "$prefix" share/systemd/user
else
  cat "$work/install.log"
  fail "cmake --install failed"
fi

# The .deb, made by cpack from the same build, and unpacked: the unit names /usr.
if have dpkg-deb dpkg && have dpkg-shlibdeps dpkg-dev; then
  if cpack --config "$build/CPackConfig.cmake" -B "$work/deb" >"$work/cpack.log" 2>&1; then
    deb=$(ls "$work"/deb/vontal_"$version"_*.deb)
    dpkg-deb -x "$deb" "$work/root"
    depends=$(dpkg-deb -f "$deb" Depends)
    echo "== .deb $(basename "$deb"), Depends: $depends"
    for p in libc6 libstdc++6 libgmp10; do
      [[ "$depends" == *"$p "* ]] || fail ".deb: $p is not among the dependencies"
    done
    if [ "$gui" = ON ]; then
      for p in libqt6core6 libqt6gui6 libqt6widgets6 libqt6network6; do
        [[ "$depends" == *"$p "* ]] || fail ".deb: $p is not among the dependencies"
      done
    fi
    check_tree deb "$work/root/usr" /usr lib/systemd/user
  else
    cat "$work/cpack.log"
    fail "cpack failed"
  fi
fi

if ((failures)); then
  echo "$failures check(s) failed"
  exit 1
fi
if ((${#missing[@]})); then
  echo "SKIPPED: some checks could not run, for want of: ${missing[*]} (scripts/setup.sh installs them)"
  exit 77
fi
echo "all install checks passed"
