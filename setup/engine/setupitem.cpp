// The resumable setup item: one action of an installation, done one step at a time.
#include "engine/setupitem.h"

clSetupItem::clSetupItem() = default;

clSetupItem::~clSetupItem() = default;

bool clSetupItem::IsSame(const clSetupItem*) const
{
    return false;
}

int32_t clSetupItem::ExecuteStep()
{
    return SETUP_ERR_UNKNOWN_STEP;
}
