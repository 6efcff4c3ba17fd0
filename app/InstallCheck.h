#pragma once

class Main;

namespace tavrel {

// For checking an installed program end to end without a display: once the window is up,
// download the given row of the list on show and leave, with 0 when the file has landed
// (its path is printed) and 1 when the download failed.
void downloadRowThenQuit(Main &window, int row);

} // namespace tavrel
