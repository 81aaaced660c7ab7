// The cache's figures in virtual time: each runs a workload through the
// driver and the same requests straight to a disk, on simulated disks whose
// timing model runs on the machine's virtual clock (emu/include/emu/machine.h),
// and gives the ratio of the two rates. The driver's CPU takes no virtual
// time, so a ratio is what the model gives for the driver's I/O pattern (its
// request sizes, merges, queue depth, extra requests) and is the same on
// every host and every run. cache_bench prints them; cache_figures_test holds
// each above its target.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

namespace cache_figures {

struct Figure {
    std::string name;
    double cachedSeconds = 0;  // virtual time of the workload through the driver
    double directSeconds = 0;  // virtual time of the same requests sent to the disk
    double target = 0;         // least ratio allowed; 0: reported only
    bool ok = false;           // every request of both runs succeeded
    std::string error;

    // Rate through the driver over the disk's own rate.
    double Ratio() const { return cachedSeconds > 0 ? directSeconds / cachedSeconds : 0; }
};

Figure HotRandomReads(unsigned inFlight);  // 4 KiB, fully cached set, vs the SSD
Figure HotSequentialReads();               // 1 MiB, fully cached set, vs the SSD
Figure ColdRandomReads();                  // 4 KiB first reads with the fill, vs the hard disk
Figure ColdSequentialReads();              // the same in sequence
Figure WriteThroughWrites();               // random 4 KiB writes into the cached set, vs the hard disk
Figure WriteBackWrites();                  // the same in write-back mode, vs the SSD
Figure MetadataSave(unsigned areaGiB);     // vs one sequential write of the same bytes on the SSD
Figure MetadataLoad(unsigned areaGiB);     // vs one sequential read
Figure Drain();                            // full write-back cache vs a sequential write of its dirty bytes

// Every figure above, in this order.
std::vector<Figure> All();

}  // namespace cache_figures
