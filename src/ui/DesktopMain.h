#pragma once

namespace nerova {

// The desktop agent, the program's default: the agent with its tray icon and status window. A
// second launch in the same session asks the running one to show its window and ends with 0.
int runDesktopAgent(int& argc, char** argv);

} // namespace nerova
