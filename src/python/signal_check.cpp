// Running pending signal handlers on the calling thread.
#include "python/signal_check.h"

namespace vexilo::py {

Status check_signals() {
    if (PyErr_CheckSignals() < 0) return PyErr::fetch();
    return Unit{};
}

}  // namespace vexilo::py
