// The cache's virtual-time figures against their targets. The figures do not
// depend on the host's speed or load (see cachefigures.h), so each ratio is
// held as a plain number.
#include <gtest/gtest.h>
#include <stdio.h>

#include "cachefigures.h"

namespace {

void ExpectMeetsTarget(const cache_figures::Figure& f)
{
    ASSERT_TRUE(f.ok) << f.name << ": " << f.error;
    EXPECT_GE(f.Ratio(), f.target) << f.name << ": " << f.cachedSeconds * 1000 << " ms through the cache, "
                                   << f.directSeconds * 1000 << " ms straight to the disk";
}

TEST(CacheFigures, HotReadsMatchTheSsd)
{
    ExpectMeetsTarget(cache_figures::HotRandomReads(1));
    ExpectMeetsTarget(cache_figures::HotRandomReads(32));
    ExpectMeetsTarget(cache_figures::HotSequentialReads());
}

TEST(CacheFigures, ColdReadsWithFillMatchTheHardDisk)
{
    ExpectMeetsTarget(cache_figures::ColdRandomReads());
    ExpectMeetsTarget(cache_figures::ColdSequentialReads());
}

TEST(CacheFigures, WritesMatchTheDiskTheirModeWaitsFor)
{
    ExpectMeetsTarget(cache_figures::WriteThroughWrites());
    ExpectMeetsTarget(cache_figures::WriteBackWrites());
}

void Report(const cache_figures::Figure& f)
{
    ASSERT_TRUE(f.ok) << f.name << ": " << f.error;
    printf("%s: %.3f (%.3f ms against %.3f ms; target %.2f)\n", f.name.c_str(), f.Ratio(), f.cachedSeconds * 1000,
           f.directSeconds * 1000, f.target);
}

TEST(CacheFigures, MetadataSaveAndLoadMatchOneRawTransfer)
{
    for (unsigned gib : {16u, 256u}) {
        ExpectMeetsTarget(cache_figures::MetadataSave(gib));
        ExpectMeetsTarget(cache_figures::MetadataLoad(gib));
    }
    // A small map pays the command cost of each of its areas (two bitmaps,
    // the slot table, the header), sent one after another: reported until
    // they go out together.
    Report(cache_figures::MetadataSave(1));
    Report(cache_figures::MetadataLoad(1));
}

TEST(CacheFigures, DrainOfAFullWriteBackCacheEnds)
{
    cache_figures::Figure f = cache_figures::Drain();
    ASSERT_TRUE(f.ok) << f.error;
    // Reported, not held: the drain reads every piece from the SSD before it
    // writes it to the hard disk.
    Report(f);
}

}  // namespace
