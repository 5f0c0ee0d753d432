// site_report.h - a site's state as /api/status JSON and as the Prometheus
// text format of /metrics, from the same snapshot of its cameras.
//
// Metrics (every counter since the camera last started):
//   tarvocoil_camera_frames_total{camera}          frames the detector processed
//   tarvocoil_camera_frames_dropped_total{camera}  frames the detector never saw (it fell behind)
//   tarvocoil_camera_decode_errors_total{camera}
//   tarvocoil_camera_reconnects_total{camera}      returns of the stream after a loss
//   tarvocoil_camera_stream_up{camera}             1 while frames arrive
//   tarvocoil_coil_triggers_total{camera,coil}     reported, after the coil's holdoff
//   tarvocoil_coil_present{camera,coil}            the detector's presence decision on the last frame
//   tarvocoil_coil_interval_triggers{camera,coil}  reported in the traffic interval still open
//   tarvocoil_coil_interval_occupancy_ratio{camera,coil}  0..1 of that interval's frames (none before a frame)
//   tarvocoil_coil_health{camera,coil,state}       1 for the current state, 0 for the other three
//   tarvocoil_coil_vehicles_total{camera,coil}     on a pair's "to" coil only
//   tarvocoil_coil_speed_kmh{camera,coil}          the last vehicle's, once one was measured
//   tarvocoil_uptime_seconds
#ifndef TARVOCOIL_TOOLS_SERVE_SITE_REPORT_H
#define TARVOCOIL_TOOLS_SERVE_SITE_REPORT_H

#include <chrono>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/serve/camera.h"
#include "tools/serve/site.h"

namespace tarvotool {

// A label value with '\', '"' and newlines escaped, as the format wants.
std::string PrometheusLabel(const std::string& value);

std::string MetricsText(const std::vector<CameraStatus>& cameras, double uptimeSeconds);

nlohmann::ordered_json StatusJson(const std::vector<CameraStatus>& cameras, double uptimeSeconds,
                                  const ReloadResult& lastReload);

}  // namespace tarvotool

#endif
