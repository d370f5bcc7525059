// The exit statuses of a run.
#pragma once

namespace chartseal {

inline constexpr int kExitSuccess = 0;
// An output file could not be written, a sealed chart file already holds
// sealed charts, or standard output failed. The chart file is unchanged
// unless the failure came after its replacement.
inline constexpr int kExitOutputFailed = 1;
// The chart file cannot be opened or read; nothing was created. The shell
// sees 255.
inline constexpr int kExitChartUnreadable = -1;

}  // namespace chartseal
