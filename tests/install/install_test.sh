#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks what a pilot gets:
# files where the conventions want them, manual pages that render without
# warnings and name every option, type, family and configuration key, a
# completion that completes -g in bash, and a device rule that opens the
# Syride instrument (and nothing else) to the user.
#   install_test.sh BUILD_DIR SOURCE_DIR
set -uo pipefail
build=$1 source=$2 status=0
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
fail() { echo "FAIL: $*"; status=1; }
cmake --install "$build" --prefix "$prefix" >/dev/null || exit 1

for f in bin/velmora bin/velmora-sim share/man/man1/velmora.1.gz share/man/man1/velmora-sim.1.gz \
  lib/udev/rules.d/70-velmora.rules share/bash-completion/completions/velmora \
  share/bash-completion/completions/velmora-sim share/doc/velmora/copyright; do
  [ -f "$prefix/$f" ] || fail "$f is not installed"
done

render() { LC_ALL=C.UTF-8 MANWIDTH=200 man --warnings -l "$prefix/share/man/man1/$1.1.gz"; }
for page in velmora velmora-sim; do
  out=$(zcat "$prefix/share/man/man1/$page.1.gz" | groff -man -ww -z 2>&1; render "$page" 2>&1 >/dev/null)
  [ -z "$out" ] || fail "$page(1) renders with warnings: $out"
done
velmora_page=$(render velmora) sim_page=$(render velmora-sim)
help_options=$("$prefix/bin/velmora" -h | grep -oE '^--?[a-z]+')
config_keys=$(grep -oE '"(IGC|TRIM|TASK|CONFIG)_[A-Z_]+' "$source/src/frame/config.cpp" | tr -d '"')
for word in $help_options $config_keys --exact --debug; do
  grep -qF -- "$word" <<<"$velmora_page" || fail "velmora(1) does not mention $word"
done
for family in $("$prefix/bin/velmora-sim" -h | sed -n 's/^  \([a-z]\{1,\}\) .*/\1/p'); do
  grep -qE "^ +$family\b" <<<"$sim_page" || fail "velmora-sim(1) does not list $family"
  timeout 5 "$prefix/bin/velmora-sim" "$family" -h | grep -q -- '--help' || fail "velmora-sim $family -h prints no usage"
done

# Completion in a bash of its own, as bash-completion loads it.
got=$(bash --norc --noprofile -c 'source "$1" && complete -p velmora >/dev/null &&
  COMP_WORDS=(velmora -g) COMP_CWORD=1 && _velmora && echo "${COMPREPLY[*]}"' _ \
  "$prefix/share/bash-completion/completions/velmora")
types=$(grep -oE '^-g[a-z]+' <<<"$help_options" | tr '\n' ' ')
[ "$got " = "$types" ] || fail "velmora -g<TAB> gives '$got', the help lists '$types'"

# The rule file as udev reads it: every rule parsed, then applied to emulated
# hidraw devices. Prints the assignments the device gets.
matches() {  # a udev pattern: globs separated by |
  local p patterns
  IFS='|' read -ra patterns <<<"$2"
  for p in "${patterns[@]}"; do [[ -n $1 && $1 == $p ]] && return 0; done
  return 1
}
apply_rules() {
  local -A dev
  local kv line rest key op value hit skip="" matched assigned
  for kv in "$@"; do dev[${kv%%=*}]=${kv#*=}; done
  while IFS= read -r line; do
    [[ $line =~ ^[[:space:]]*(#|$) ]] && continue
    rest=$line matched=1 assigned=()
    while [[ $rest =~ ^[[:space:]]*([A-Z]+(\{[A-Za-z]+\})?)[[:space:]]*(==|!=|\+=|=)[[:space:]]*\"([^\"]*)\"[[:space:]]*(,(.*))?$ ]]; do
      key=${BASH_REMATCH[1]} op=${BASH_REMATCH[3]} value=${BASH_REMATCH[4]} rest=${BASH_REMATCH[6]}
      case $key in
        ACTION | SUBSYSTEM | KERNEL | ATTRS\{*) ;;
        TAG | SYMLINK | MODE | GROUP | GOTO | LABEL) assigned+=("$key$op$value") ;;
        *) echo "unknown key $key in: $line" && return 1 ;;
      esac
      [[ $op == "==" || $op == "!=" ]] || continue
      matches "${dev[$key]-}" "$value" && hit="==" || hit="!="
      [ "$hit" = "$op" ] || matched=0
    done
    [ -z "$rest" ] || { echo "unparsed: $rest" && return 1; }
    if [ -n "$skip" ]; then [[ " ${assigned[*]} " == *" LABEL=$skip "* ]] && skip=""; continue; fi
    ((matched)) || continue
    for kv in "${assigned[@]}"; do
      case $kv in GOTO=*) skip=${kv#GOTO=} ;; LABEL=*) ;; *) echo "$kv" ;; esac
    done
  done <"$prefix/lib/udev/rules.d/70-velmora.rules"
}
command -v udevadm >/dev/null && udevadm verify --help >/dev/null 2>&1 &&
  { udevadm verify "$prefix/lib/udev/rules.d/70-velmora.rules" || fail "udevadm verify"; }
syride=(SUBSYSTEM=hidraw KERNEL=hidraw3 'ATTRS{idVendor}=0483')
for case in "add 5753 yes" "add 5754 yes" "add 5750 no" "remove 5754 no"; do
  read -r action product expected <<<"$case"
  got=$(apply_rules ACTION="$action" "${syride[@]}" "ATTRS{idProduct}=$product")
  if [ "$expected" = yes ]; then
    [[ $got == *TAG+=uaccess* && $got == *SYMLINK+=syride* ]] || fail "$action 0483:$product gets: ${got:-nothing}"
  else
    [ -z "$got" ] || fail "$action 0483:$product gets: $got"
  fi
done
exit $status
