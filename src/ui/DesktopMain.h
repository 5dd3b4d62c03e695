#pragma once

namespace nerova {

// The desktop agent, the program's default: the agent with its tray icon and status window. A
// second launch in the same session asks the running one to show its window and ends with 0.
// Without a display it says that it needs a graphical session, points at `run`, and ends with 1.
int runDesktopAgent(int& argc, char** argv);

} // namespace nerova
