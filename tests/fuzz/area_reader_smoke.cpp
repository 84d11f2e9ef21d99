// Deterministic driver of the area reader fuzz target: area images holding every
// record kind, mutated (bits flipped, boundary values, cut short), and random bytes.
//   area_reader_smoke [iterations] [--write-seeds DIR]  (DIR: a libFuzzer corpus)
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "broker/brk_api.h"
#include "zov/core/zovcbrir.h"
#include "zov/core/zovcedar.h"
#include "zov/core/zovcegir.h"
#include "zov/core/zovcetar.h"
#include "zov/core/zovcevdr.h"
#include "zov/core/zovcevir.h"
#include "zov/core/zovcevtr.h"
#include "zov/core/zovcnoir.h"
#include "zov/core/zovcreir.h"
#include "zov/core/zovcstar.h"
#include "zov/core/zovcstir.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

using Image = std::vector<unsigned char>;

template <typename Area>
Image areaWith(size_t size, const std::vector<ZOV_Record*>& records) {
    Image bytes(size, 0);
    Area area(ZOV_String("seed"));
    area.layOver(bytes.data(), static_cast<unsigned int>(size));
    area.formatAt(bytes.data());
    for (ZOV_Record* record : records)
        area.put(record);
    return bytes;
}

std::vector<Image> seeds() {
    const ZOV_String uuid("0123456789abcdef"), label("label \xE9");
    ZOV_Resource_ID id(&uuid, &label);
    ZOV_REIR resource(ZOV_RT_RESOURCE, &id);
    ZOV_BRIR broker(&id);
    ZOV_EGIR group(&id);
    ZOV_MFIR flow(&id);
    ZOV_NOIR node(&id);
    ZOV_STIR stats(1);
    stats.updateStatistics(0.25, 0.5, 1000);
    const ZOV_String g("group"), f("flow"), n("node"), text("an event");
    ZOV_EVTR templ(&g, &f, &n, ZOV_NT_INPUT, &text);
    ZOV_EVTR other(&g, &f, &n, ZOV_NT_OUTPUT, &label);
    BrkMqmd md{};
    std::memcpy(md.putApplName, "smoke", 5);
    ZOV_EVDR event(&md, 42);
    event.setParent(templ.getRecordId());
    ZOV_EVIR info(&templ, &event);

    std::vector<Image> images;
    images.push_back(
        areaWith<ZOV_Stats_Area>(2048, {&resource, &broker, &group, &flow, &node, &stats, &info}));
    // Templates then data area, as the target splits an input.
    Image templates = areaWith<ZOV_Events_Template_Area>(1024, {&templ, &other});
    Image data = areaWith<ZOV_Events_Data_Area>(1024, {&event, &event, &event});
    templates.insert(templates.end(), data.begin(), data.end());
    images.push_back(templates);
    // A data area started again; a newer template covering an older one's start.
    std::vector<ZOV_Record*> many(6, &event);
    images.push_back(areaWith<ZOV_Events_Data_Area>(64 + 4 * ZOV_EVDR::kSize + 100, many));
    images.push_back(areaWith<ZOV_Events_Template_Area>(400, {&templ, &templ, &other}));
    return images;
}

void mutate(Image& image, std::mt19937& random) {
    static const int32_t boundary[] = {0,  1,   -1,  63,         64,        65,
                                       10, 103, 104, 0x7FFFFFFF, INT32_MIN, 0x3FFFFFFF};
    for (int e = 1 + static_cast<int>(random() % 8); e > 0 && !image.empty(); --e) {
        const size_t at = random() % image.size();
        if (const unsigned kind = random() % 3; kind == 0)
            image[at] ^= static_cast<unsigned char>(1u << (random() % 8));
        else if (kind == 1 && at + 4 <= image.size())
            std::memcpy(&image[at], &boundary[random() % std::size(boundary)], 4);
        else if (kind == 2)
            image.resize(64 + random() % image.size());
    }
}

int writeSeeds(const std::string& directory) {
    int i = 0;
    for (const Image& image : seeds())
        std::ofstream(directory + "/seed-" + std::to_string(i++), std::ios::binary)
            .write(reinterpret_cast<const char*>(image.data()),
                   static_cast<std::streamsize>(image.size()));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    long iterations = 4000;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--write-seeds") == 0 && i + 1 < argc)
            return writeSeeds(argv[i + 1]);
        iterations = std::strtol(argv[i], nullptr, 10);
    }
    std::mt19937 random(20240501);
    const std::vector<Image> valid = seeds();
    for (const Image& image : valid)
        LLVMFuzzerTestOneInput(image.data(), image.size());
    for (long i = 0; i < iterations; ++i) {
        Image input = valid[random() % valid.size()];
        if (i % 8 == 7)  // plain pseudo-random bytes
            std::generate(input.begin(), input.end(), [&] { return random(); });
        else
            mutate(input, random);
        LLVMFuzzerTestOneInput(input.data(), input.size());
    }
    std::printf("area reader smoke: %zu seeds, %ld inputs\n", valid.size(), iterations);
    return 0;
}
