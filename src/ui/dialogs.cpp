#include "ui/dialogs.h"

#include <cassert>

namespace {
std::shared_ptr<Dialogs>& installed()
{
    static std::shared_ptr<Dialogs> current;
    return current;
}
}  // namespace

Dialogs& dialogs()
{
    assert(installed() && "setDialogs() must be called before a handler runs");
    return *installed();
}

void setDialogs(std::shared_ptr<Dialogs> implementation)
{
    installed() = std::move(implementation);
}
