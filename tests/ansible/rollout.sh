#!/usr/bin/env bash
# contrib/ansible run by Debian's ansible-core against two sites on the local
# connection, each with its own plan over its own vx40-sim lines, the role
# installing the package scripts/package built: every device written, a
# report a site and the summary; then, with a device of the first site
# keeping its old version, the second batch is not started. The package is
# removed afterwards unless it was installed before.
set -uo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=SCRIPTDIR/../wine/lib/wine_session.bash
source "$top/tests/wine/lib/wine_session.bash"
if ! "$top/scripts/deps" ansible; then
    echo "SKIPPED: ansible-core could not be installed"
    exit 0
fi
debs=$(ls -t "$top"/build/native/vx40-loader_*_amd64.deb) || { fail "no package: run scripts/package"; finish; exit 1; }
deb=${debs%%$'\n'*}
before=$(dpkg-query -W -f='${db:Status-Status}' vx40-loader 2>/dev/null)
work=$(mktemp -d)
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo -n"
cleanup() {
    sim_stop
    [ "$before" = installed ] || $sudo dpkg -r vx40-loader >/dev/null 2>&1
    rm -rf "$work"
}
trap cleanup EXIT
export ANSIBLE_HOME="$work/ansible"

# Site a: two lines of two devices, its module in a folder of the plan's;
# site b: one line of two devices. KEEP (e.g. ":keep") is the last device's
# version once written; sites N PORTS: a site's plan.
lines() {
    sim_start "$work/a1" --device 1:VX40:101 --device 2:VX40:102 --written-version 0x0106 &&
        sim_start "$work/a2" --device 1:VX40:111 --device "2:VX40:112$1" --written-version 0x0106 &&
        sim_start "$work/b1" --device 1:VX40:201 --device 2:VX40:202 --written-version 0x0106
}
plan() {
    local site=$1 module=$2 port
    shift 2
    mkdir -p "$work/$site/$(dirname "$module")"
    make_module "$work/$site/$module" 3
    printf '[[module]]\ntype = "VX40"\nfile = "%s"\nversion = "01.06"\n' "$module" >"$work/$site/plan.toml"
    for port in "$@"; do
        printf '[[line]]\nport = "%s"\nnodes = "1-2"\n' "$port" >>"$work/$site/plan.toml"
    done
}
plan a modules/m.vx4 "$work/a1" "$work/a2"
plan b m.vx4 "$work/b1"
root=false
[ "$(id -u)" -eq 0 ] || root=true
cat >"$work/sites.yml" <<YAML
vx40_sites:
  vars: {ansible_connection: local, ansible_python_interpreter: /usr/bin/python3, ansible_become: $root}
  hosts:
    site-a: {vx40_plan: $work/a/plan.toml, vx40_work_dir: $work/host-a, vx40_service_log: $work/a.log}
    site-b: {vx40_plan: $work/b/plan.toml, vx40_work_dir: $work/host-b, vx40_service_log: $work/b.log}
YAML
playbook() {
    rm -rf "$work/reports"
    timeout 600 ansible-playbook -i "$work/sites.yml" "$top/contrib/ansible/rollout.yml" \
        -e "vx40_deb=$deb" -e "vx40_report_dir=$work/reports" >"$work/out.txt" 2>&1
}
reported() { grep -c "^| site-$1 .* | $2 | " "$work/reports/summary.md"; }

lines "" || fail "no simulated lines"
playbook
expect_eq "both sites: exit code" 0 $?
expect_eq "the package is installed" "$(dpkg-deb -f "$deb" Version)" \
    "$(dpkg-query -W -f='${Version}' vx40-loader 2>/dev/null)"
for site in a:4 b:2; do
    json_true "site ${site%:*}: every device written" "$work/reports/site-${site%:*}.json" \
        "d['result'] == 0 and d['counts']['written'] == len(d['devices']) == ${site#*:}"
done
expect_eq "the summary: every device written" "4 2" "$(reported a written) $(reported b written)"

lines ":keep"
playbook
expect_eq "a device keeps its version: exit code" 2 $?
grep -q "vx40 rollout exited with 1: $work/a2 node 2: device reports 01.05, the plan expects 01.06" \
    "$work/out.txt" || fail "the site's failure does not give the report's message"
[ -e "$work/reports/site-b.json" ] && fail "the second batch ran"
expect_eq "the second site's line heard nothing" 0 "$(grep -c ' rx ' "$work/b1.trace")"
expect_eq "the summary: the failed device, the site not run" "1 1" \
    "$(reported a failed) $(reported b 'not run')"
[ "$failed" -eq 0 ] || tail -n 30 "$work/out.txt"
finish
