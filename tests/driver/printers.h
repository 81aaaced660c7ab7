// How GoogleTest shows the cache map's block numbers and slot indexes.
#pragma once

#include <ostream>

#include "kernel.h"
#include "cachemap.h"

inline void PrintTo(MasterBlock block, std::ostream* os)
{
    *os << "block " << FromMasterBlock(block);
}

inline void PrintTo(SsdSlot slot, std::ostream* os)
{
    *os << "slot " << FromSsdSlot(slot);
}
