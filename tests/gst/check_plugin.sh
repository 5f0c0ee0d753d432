#!/usr/bin/env bash
# The plugin as GStreamer's own programs see it: gst-inspect-1.0 loads it
# from the build tree and documents every property; gst-launch-1.0 stops
# with the parser's message on a bad areas file; `cmake --install` puts it
# where gst-inspect-1.0 finds it again.
#   check_plugin.sh PLUGIN_DIR BUILD_DIR
set -euo pipefail
plugin_dir=$1
build=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export GST_REGISTRY="$work/registry.bin"
export GST_PLUGIN_PATH="$plugin_dir"

# --exists also compares versions, by default against GStreamer's own.
gst-inspect-1.0 --exists --atleast-version=1.0 tarvocoil || { echo "gst-inspect-1.0 does not find tarvocoil"; exit 1; }
gst-inspect-1.0 tarvocoil > "$work/inspect.txt"
for p in areas-file areas front-light frame-count disturb-ratio light-threshold light-min-width \
         light-max-width light-min-height light-max-height draw trace; do
  # Each property with a description, changeable while playing.
  grep -A1 -E "^  $p +: [A-Z]" "$work/inspect.txt" | grep -q "changeable in NULL, READY, PAUSED or PLAYING" ||
    { echo "property $p is not documented as expected:"; cat "$work/inspect.txt"; exit 1; }
done
for p in skipped-corrupted skipped-gaps; do
  grep -A1 -E "^  $p +: [A-Z]" "$work/inspect.txt" | grep -qE "flags: readable$" ||
    { echo "read-only property $p is not documented as expected:"; cat "$work/inspect.txt"; exit 1; }
done
# The element's description is its manual: each message it posts, with its fields.
sed -n '/^  Description/,/^  Author/p' "$work/inspect.txt" > "$work/description.txt"
for m in "tarvocoil-trigger: .*area (gint" "tarvocoil-skipped: .*corrupted and gaps" \
         "tarvocoil-measurement (with 'trace')"; do
  grep -q "^ *$m" "$work/description.txt" ||
    { echo "the description does not document: $m"; cat "$work/inspect.txt"; exit 1; }
done
# The plugin file itself passes gst-inspect's checks (it loads and registers).
gst-inspect-1.0 "$plugin_dir/libgsttarvocoil.so" > /dev/null

echo '{"areas": [{"vertices": [[1, 2], [3, 4]]}]}' > "$work/bad.json"
if gst-launch-1.0 videotestsrc num-buffers=2 ! videoconvert ! tarvocoil areas-file="$work/bad.json" ! fakesink \
     > "$work/launch.txt" 2>&1; then
  echo "gst-launch-1.0 succeeded on a bad areas file"; exit 1
fi
grep -qF "$work/bad.json: \$.areas[0].vertices: expected an array of 4 vertices" "$work/launch.txt" ||
  { echo "gst-launch-1.0 did not report the parser's message:"; cat "$work/launch.txt"; exit 1; }

cmake --install "$build" --component gstreamer --prefix "$work/prefix" > /dev/null
installed=$(find "$work/prefix" -name libgsttarvocoil.so)
[ -n "$installed" ] || { echo "cmake --install did not install the plugin"; exit 1; }
GST_PLUGIN_PATH=$(dirname "$installed") GST_REGISTRY="$work/registry2.bin" gst-inspect-1.0 --exists --atleast-version=1.0 tarvocoil ||
  { echo "gst-inspect-1.0 does not find the installed plugin"; exit 1; }
# Nothing but the plugin's entry points is exported.
exported=$(nm -D --defined-only "$installed" | awk '{print $3}' | grep -v '^gst_plugin_tarvocoil_' | grep -v '^gst_plugin_desc$' || true)
[ -z "$exported" ] || { echo "the plugin exports more than its entry points: $exported"; exit 1; }
echo "plugin: inspected, launched, installed ($installed)"
