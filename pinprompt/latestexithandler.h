#pragma once

// One exit handler kept at the newest place among the process's exit handlers. exit() runs
// the handlers newest first, so after a move the handler runs before everything registered up
// to that moment. Each move withdraws the previous registration before it registers anew: when
// nothing was registered in between, the new registration takes the old one's place, so moving
// costs no memory however often it is done.
namespace LatestExitHandler {

// The handler gets the exit status.
using Handler = void (*)(int status);

// Moves handler (always the same one) to the newest place. False once the process's exit
// handlers have all run.
bool move(Handler handler);

} // namespace LatestExitHandler
