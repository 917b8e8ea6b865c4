#include "monitoring/CWatchRules.h"

#include <gtest/gtest.h>

namespace {

TEST(CWatchRulesTest, AnArchiveKeepsItsFirstLevelDirectoriesButOriginalsAndCatalogueIS) {
  const CWatchRules rules("/srv/OriginalsWork/archive/", true, {});
  EXPECT_FALSE(rules.IsExcluded("top.xml", false)) << "the archive's own documents, as the walks take them";
  EXPECT_FALSE(rules.IsExcluded("SupA", true));
  EXPECT_FALSE(rules.IsExcluded("SupA/2026/a.xml", false));
  for (const char* name : {"Originals", "ORIGINALS", "originalsWest", "Originalsw", "Catalogue_IS", "catalogue_isW", "OldOriginals"}) {
    EXPECT_TRUE(rules.IsExcluded(name, true)) << name;
    EXPECT_TRUE(rules.IsExcluded(std::string(name) + "/a.xml", false)) << name;
  }
  for (const char* name : {"Originals.old", "Originals2", "Catalogue_IS-2", "Orig"}) {
    EXPECT_FALSE(rules.IsExcluded(std::string(name) + "/a.xml", false)) << name;
  }
  // Below a first-level directory, its first component only, in any case.
  EXPECT_TRUE(rules.IsExcluded("SupA/originals", true));
  EXPECT_TRUE(rules.IsExcluded("SupA/ORIGINALS/x/a.pdf", false));
  EXPECT_TRUE(rules.IsExcluded("SupA/Catalogue_is/R/catalogue.sqlite", false));
  // As the walks do, at any depth.
  EXPECT_TRUE(rules.IsExcluded("SupA/deep/Originals/a.pdf", false));
  EXPECT_TRUE(rules.IsExcluded("SupA/OriginalsWest/a.pdf", false));
  EXPECT_FALSE(rules.IsExcluded("SupA/Originals.old/a.pdf", false));
}

TEST(CWatchRulesTest, AnyOtherDirectoryIsWatchedWholeButItsExcludedFirstComponentsAndSpecialDirectories) {
  const CWatchRules rules("/srv/proc", false, {"/srv/proc/sub/cat/", "/srv/procx/scan", "/srv/proc", "", "/elsewhere"});
  EXPECT_FALSE(rules.IsExcluded("a.xml", false));
  EXPECT_FALSE(rules.IsExcluded("x/y/z/a.xml", false));
  EXPECT_TRUE(rules.IsExcluded("ORIGINALS/a.xml", false));
  EXPECT_TRUE(rules.IsExcluded("catalogue_IS/a.xml", false));
  EXPECT_FALSE(rules.IsExcluded("Originals.old/a.xml", false));
  EXPECT_TRUE(rules.IsExcluded("sub/cat", true));
  EXPECT_TRUE(rules.IsExcluded("sub/cat/catalogue.sqlite-wal", false));
  EXPECT_FALSE(rules.IsExcluded("sub/catalogue/a.xml", false));
  EXPECT_FALSE(rules.IsExcluded("sub/a.xml", false));
}

TEST(CWatchRulesTest, SpellingsOfOneDirectoryCompareEqual) {
  for (const char* spelling : {"/srv/a", "/srv/a/", "/srv//a//", "/srv/./a", "/srv/b/../a", "/srv/a/."}) {
    EXPECT_EQ(CWatchRules::NormalPath(spelling), "/srv/a") << spelling;
  }
  EXPECT_TRUE(CWatchRules::IsUnder("/srv/a/b", "/srv/a"));
  EXPECT_FALSE(CWatchRules::IsUnder("/srv/ab", "/srv/a"));
}

}  // namespace
