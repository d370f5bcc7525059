// The exit statuses of a run.
#pragma once

namespace chartseal {

inline constexpr int kExitSuccess = 0;
// The run was refused or failed with one line saying why: another run holds
// the chart, the chart changed, an output name is unsafe or already holds
// sealed charts, an output could not be written, standard input or output
// failed, memory ran out. The chart file is unchanged unless the failure
// came after its replacement.
inline constexpr int kExitOutputFailed = 1;
// The chart file cannot be opened or read; nothing was created. The shell
// sees 255.
inline constexpr int kExitChartUnreadable = -1;

}  // namespace chartseal
