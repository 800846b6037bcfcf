// What the title on show and the picture on show feed besides the window and the snapshot: the
// title history of the web API and the files for streaming software. Main thread only; each does
// nothing for a context without history or outputs.
#pragma once

#include "app/window_state.hpp"

// After a new title came in: adds it to the history (with the channel and the time, UTC) and
// has the title file written. The placeholder titles are never added.
void PublishNewTitle(AppContext& app);
// After the title on show fell back to a placeholder (a channel change): empties the title file.
void PublishPlaceholderTitle(AppContext& app);
// After anything that may have changed the picture on show: has the picture file written, or
// removed when none is on show.
void PublishCover(AppContext& app);
