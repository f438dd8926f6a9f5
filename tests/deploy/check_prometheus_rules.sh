#!/usr/bin/env bash
# The shipped Prometheus rules: `promtool check rules` (syntax, expressions, templates) and the
# rule unit tests beside them (each alert firing on a series that should fire it, silent on one
# that should not). A typo in the rules fails here. promtool comes with Debian's prometheus
# package (scripts/install_deps.sh); without it this fails rather than skips, so that a run
# meant to check the rules cannot pass without checking them.
# Usage: check_prometheus_rules.sh <source dir>
set -euo pipefail
src=$1
command -v promtool >/dev/null || { echo "promtool not installed (scripts/install_deps.sh)"; exit 1; }
promtool check rules "$src/deploy/prometheus/norvel-rules.yml"
promtool test rules "$src"/deploy/prometheus/tests/*.yml
