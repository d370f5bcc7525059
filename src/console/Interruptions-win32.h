// The console control handler of HeldInterruptions on Windows.
#pragma once

namespace chartseal {

// Passes a console event (CTRL_C_EVENT, CTRL_BREAK_EVENT, CTRL_CLOSE_EVENT,
// ...) to the handler as the system does, while HeldInterruptions holds
// them back; false, as the system would go on to end the process, when none
// is held back. For the tests, which have no console to send events from.
bool deliverConsoleEvent(unsigned long event);

}  // namespace chartseal
