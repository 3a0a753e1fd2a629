// The loader against the image that ships, and against damaged copies of it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "sim/image/pe_format.h"
#include "sim/image/pe_image.h"
#include "sim/image/pe_symbols.h"

namespace {

using sim::image::Image;

std::string ShippedImage() { return std::string(USBMODEM_SOURCE_DIR) + "/build/target/usbmodem.sys"; }

std::vector<uint8_t> ReadBytes(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Every import gets an address of its own, remembered by name.
std::map<std::string, uintptr_t> g_bound;
const char *g_missing = nullptr;

void *FakeResolver(const char *dll, const char *name) {
  std::string key = std::string(dll) + "!" + name;
  if (g_missing != nullptr && key == g_missing) return nullptr;
  auto it = g_bound.find(key);
  if (it == g_bound.end()) it = g_bound.emplace(key, 0x1000 + 0x10 * g_bound.size()).first;
  return reinterpret_cast<void *>(it->second);
}

class PeImage : public ::testing::Test {
 protected:
  void SetUp() override {
    g_bound.clear();
    g_missing = nullptr;
    ASSERT_FALSE(ReadBytes(ShippedImage()).empty()) << ShippedImage() << " is missing: build the target preset first";
  }
  void TearDown() override { g_missing = nullptr; }

  std::string WriteCopy(const std::vector<uint8_t> &bytes) {
    std::string path = ::testing::TempDir() + "damaged_usbmodem.sys";
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()), bytes.size());
    return path;
  }

  const sim::image::Section *Named(const Image &image, const std::string &name) {
    for (const auto &s : image.sections)
      if (s.name == name) return &s;
    return nullptr;
  }

  uintptr_t SymbolAddress(const Image &image, const std::string &name) {
    for (const auto &s : image.symbols)
      if (s.name == name) return s.address;
    return 0;
  }
};

TEST_F(PeImage, MapsTheShippedDriverWithItsSectionsAndNames) {
  Image image;
  std::string error;
  ASSERT_TRUE(sim::image::Load(ShippedImage().c_str(), FakeResolver, &image, &error)) << error;

  const auto *init = Named(image, "INIT");
  const auto *page = Named(image, "PAGE");
  const auto *text = Named(image, ".text");
  ASSERT_TRUE(init && page && text);
  EXPECT_TRUE(init->code && init->discardable && !init->pageable);
  EXPECT_TRUE(page->code && page->pageable && !page->discardable);
  EXPECT_TRUE(text->code && !text->pageable && !text->discardable);
  EXPECT_FALSE(Named(image, ".data")->code);
  EXPECT_TRUE(Named(image, ".data")->writable);

  EXPECT_EQ(image.entry, SymbolAddress(image, "DriverEntry"));
  EXPECT_TRUE(init->Contains(image.entry));
  uintptr_t create = SymbolAddress(image, "DispatchCreate");
  ASSERT_NE(create, 0u);
  EXPECT_TRUE(page->Contains(create));
  EXPECT_EQ(image.Describe(create + 0x10), "DispatchCreate+0x10");
  EXPECT_EQ(image.SymbolAt(create + 3)->name, "DispatchCreate");
  EXPECT_EQ(image.Describe(image.base + 0x20), "usbmodem.sys+0x20");  // the headers: no routine

  // The imports the kernel must provide, data exports among them.
  EXPECT_EQ(g_bound.count("ntoskrnl.exe!KeTickCount"), 1u);
  EXPECT_EQ(g_bound.count("HAL.dll!KfAcquireSpinLock"), 1u);
  EXPECT_EQ(g_bound.count("ntoskrnl.exe!IofCallDriver"), 1u);
  EXPECT_GT(g_bound.size(), 50u);
  sim::image::Unload(&image);
  EXPECT_EQ(image.base, 0u);
}

// Two mappings at two bases differ exactly where base relocations point, by
// exactly the distance between the bases.
TEST_F(PeImage, RelocatesEveryAbsoluteAddressAndNothingElse) {
  Image first, second;
  std::string error;
  ASSERT_TRUE(sim::image::Load(ShippedImage().c_str(), FakeResolver, &first, &error)) << error;
  ASSERT_TRUE(sim::image::Load(ShippedImage().c_str(), FakeResolver, &second, &error)) << error;
  ASSERT_NE(first.base, second.base);
  EXPECT_NE(first.base, first.preferredBase);
  uint32_t distance = uint32_t(second.base - first.base);

  size_t relocated = 0, other = 0;
  for (const auto &s : first.sections) {
    if (s.name == ".reloc") continue;
    const uint8_t *a = reinterpret_cast<const uint8_t *>(s.begin);
    const uint8_t *b = reinterpret_cast<const uint8_t *>(s.begin - first.base + second.base);
    size_t size = s.end - s.begin;
    for (size_t i = 0; i < size; ++i) {
      if (a[i] == b[i]) continue;
      // The bases share their low bits: a word's first differing byte need not be its first.
      size_t word = i < 3 ? 0 : i - 3;
      while (word <= i && !(word + 4 <= size && sim::image::pe::U32(b + word) - sim::image::pe::U32(a + word) == distance))
        ++word;
      if (word <= i) {
        ++relocated;
        i = word + 3;
      } else {
        ++other;
      }
    }
  }
  EXPECT_GT(relocated, 100u);
  EXPECT_EQ(other, 0u);
  sim::image::Unload(&first);
  sim::image::Unload(&second);
}

TEST_F(PeImage, RefusesAnImportTheKernelLacksNamingIt) {
  g_missing = "ntoskrnl.exe!KeTickCount";
  Image image;
  std::string error;
  EXPECT_FALSE(sim::image::Load(ShippedImage().c_str(), FakeResolver, &image, &error));
  EXPECT_NE(error.find("cannot bind ntoskrnl.exe!KeTickCount: the simulated kernel has no such export"), std::string::npos)
      << error;
  EXPECT_EQ(image.base, 0u);
}

TEST_F(PeImage, RefusesWhatIsNotAnI386NativeImage) {
  std::vector<uint8_t> good = ReadBytes(ShippedImage());
  size_t nt = sim::image::pe::U32(good.data() + 0x3c);
  struct Case {
    const char *what;
    size_t offset;
    uint8_t value;
    const char *message;
  } cases[] = {
      {"MZ", 0, 'X', "not an MZ executable"},
      {"PE signature", nt, 'X', "no PE signature"},
      {"machine", nt + 4, 0x64, "not an i386 image"},
      {"PE32 magic", nt + 24, 0x0c, "not a PE32 image"},
      {"subsystem", nt + 24 + 68, 2, "not a native (kernel) image"},
  };
  for (const Case &c : cases) {
    std::vector<uint8_t> bad = good;
    bad[c.offset] = c.value;
    Image image;
    std::string error;
    EXPECT_FALSE(sim::image::Load(WriteCopy(bad).c_str(), FakeResolver, &image, &error)) << c.what;
    EXPECT_NE(error.find(c.message), std::string::npos) << c.what << ": " << error;
  }
  Image image;
  std::string error;
  EXPECT_FALSE(sim::image::Load((ShippedImage() + ".absent").c_str(), FakeResolver, &image, &error));
  EXPECT_NE(error.find("cannot read"), std::string::npos);
}

// A damaged file is refused or loaded, never read out of bounds: every
// truncation, and every byte of the headers and tables set to 0xff.
TEST_F(PeImage, SurvivesTruncationAndDamagedHeaders) {
  std::vector<uint8_t> good = ReadBytes(ShippedImage());
  // Up to the end of the last section's data a cut loses code or tables;
  // the symbol table after it only names routines.
  size_t sectionsEnd = 0;
  Image whole;
  std::string error;
  ASSERT_TRUE(sim::image::Load(ShippedImage().c_str(), FakeResolver, &whole, &error)) << error;
  sim::image::Unload(&whole);
  {
    size_t nt = sim::image::pe::U32(good.data() + 0x3c);
    size_t table = nt + 24 + sim::image::pe::U16(good.data() + nt + 20);
    for (size_t i = 0; i < sim::image::pe::U16(good.data() + nt + 6); ++i) {
      const uint8_t *sh = good.data() + table + 40 * i;
      sectionsEnd = std::max<size_t>(sectionsEnd, sim::image::pe::U32(sh + 20) + sim::image::pe::U32(sh + 16));
    }
  }
  for (size_t length = 0; length < good.size(); length += 0x1a0) {
    std::vector<uint8_t> cut(good.begin(), good.begin() + length);
    Image image;
    error.clear();
    bool loaded = sim::image::Load(WriteCopy(cut).c_str(), FakeResolver, &image, &error);
    if (length < sectionsEnd) {
      EXPECT_FALSE(loaded) << length;
      EXPECT_FALSE(error.empty());
    }
    sim::image::Unload(&image);
  }
  size_t loaded = 0, refused = 0;
  // The headers and the section table.
  for (size_t at = 0; at < 0x300; at += 3) {
    std::vector<uint8_t> bad = good;
    bad[at] = 0xff;
    Image image;
    std::string error;
    if (sim::image::Load(WriteCopy(bad).c_str(), FakeResolver, &image, &error)) {
      ++loaded;
      sim::image::Unload(&image);
    } else {
      ++refused;
      EXPECT_FALSE(error.empty());
    }
  }
  EXPECT_GT(refused, 10u);
  EXPECT_GT(loaded, 10u);  // most header bytes (time stamp, checksum, versions) do not matter to a loader
}

TEST(PeSymbols, NamesAsTheDeveloperWroteThem) {
  using sim::image::RoutineName;
  EXPECT_EQ(RoutineName("_DriverEntry@8"), "DriverEntry");
  EXPECT_EQ(RoutineName("__Z14DispatchCreateP14_DEVICE_OBJECTP4_IRP@8"), "DispatchCreate");
  EXPECT_EQ(RoutineName("__ZL10ReadWorkerPv@4"), "ReadWorker");
  EXPECT_EQ(RoutineName("__ZN12_GLOBAL__N_16HelperEv"), "(anonymous namespace)::Helper");
  EXPECT_EQ(RoutineName("@KfAcquireSpinLock@4"), "KfAcquireSpinLock");
  EXPECT_EQ(RoutineName("_memcpy"), "memcpy");
}

}  // namespace
