#!/usr/bin/env bash
# The shipped Prometheus rules: `promtool check rules` (syntax, expressions, templates) and the
# rule unit tests beside them (each alert firing on a series that should fire it, silent on one
# that should not). A typo in the rules fails here. promtool comes with Debian's prometheus
# package (scripts/install_deps.sh); without it this fails rather than skips, so that a run
# meant to check the rules cannot pass without checking them.
# Also checks the scrape configuration docs/operations.md shows.
# Usage: check_prometheus_rules.sh <source dir>
set -euo pipefail
src=$(cd "$1" && pwd)
command -v promtool >/dev/null || { echo "promtool not installed (scripts/install_deps.sh)"; exit 1; }
promtool check rules "$src/deploy/prometheus/norvel-rules.yml"
promtool test rules "$src"/deploy/prometheus/tests/*.yml

# The scrape configuration docs/operations.md gives for a site (its first yaml block) is a valid
# configuration, rules included.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
awk '/^```yaml$/ { inside = 1; next } inside && /^```$/ { exit } inside' "$src/docs/operations.md" |
  sed "s#/etc/prometheus/rules/norvel-rules.yml#$src/deploy/prometheus/norvel-rules.yml#" \
    >"$work/prometheus.yml"
grep -q '^scrape_configs:' "$work/prometheus.yml" || { echo "no scrape configuration in docs/operations.md"; exit 1; }
promtool check config "$work/prometheus.yml"
