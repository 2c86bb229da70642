// Block shapes from the cache geometry the machine reports. The rules were
// measured on a 512 KiB-L2 EPYC and a 2 MiB-L2 Xeon (bench/NOTES.md); they
// are stated relative to the caches so that other machines get the same
// proportions rather than one machine's constants.
#include "block_shape.hpp"

#include <bit>
#include <charconv>
#include <cstdlib>
#include <fstream>
#include <string>

namespace vastrel::sim {

namespace {

constexpr std::size_t kAmplitudeBytes = 8;

unsigned log2_floor(std::size_t x) { return x == 0 ? 0 : static_cast<unsigned>(std::bit_width(x) - 1); }

std::string read_line(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// "1024K", "32M", "512" as bytes; 0 when unreadable.
std::size_t parse_cache_size(const std::string& text) {
    std::size_t value = 0;
    const char* end = text.data() + text.size();
    const auto [rest, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || value == 0) {
        return 0;
    }
    const std::string_view unit(rest, static_cast<std::size_t>(end - rest));
    if (unit == "K") {
        return value << 10;
    }
    if (unit == "M") {
        return value << 20;
    }
    return unit.empty() ? value : 0;
}

}  // namespace

BlockShape shape_for(const CacheGeometry& caches) {
    // Half the private L2 for a sub-block, so the next run's lines fit
    // beside it; runs of a 32nd of it; as many runs per set as the L2 has
    // ways, counted from the first qubit whose address bit lies above a way.
    const unsigned l2_amps = log2_floor(caches.l2_size / kAmplitudeBytes);
    const unsigned sub_width = l2_amps - 1;
    const unsigned ways = log2_floor(caches.l2_ways == 0 ? 8 : caches.l2_ways);
    const unsigned sub_far = l2_amps - ways;
    // Blocks of twice the L2 (four sub-blocks), runs of a 64th of a block;
    // a block spans one more way-sized stretch, and takes four times as
    // many runs per set.
    const unsigned width = sub_width + 2;
    // Outer blocks of a quarter of the shared L3: two workers' outer blocks
    // then fill half of it.
    const unsigned outer = caches.l3_size >= (caches.l2_size << 2) ? log2_floor(caches.l3_size / kAmplitudeBytes) - 2 : 0;
    return {.width = width,
            .min_low = width - 6,
            .max_far = ways + 2,
            .outer = outer > width ? outer : 0,
            .sub_width = sub_width,
            .sub_min_low = sub_width - 5,
            .sub_max_far = ways,
            .far_qubit = sub_far + 1,
            .sub_far_qubit = sub_far};
}

std::optional<CacheGeometry> read_cache_geometry(const char* cpu_cache_dir) {
    CacheGeometry caches{0, 0, 0};
    for (unsigned index = 0; index < 8; ++index) {
        const std::string dir = std::string(cpu_cache_dir) + "/index" + std::to_string(index) + "/";
        const std::string level = read_line(dir + "level");
        if (level.empty()) {
            break;
        }
        const std::string type = read_line(dir + "type");
        if (type != "Unified" && type != "Data") {
            continue;
        }
        const std::size_t size = parse_cache_size(read_line(dir + "size"));
        if (level == "2") {
            caches.l2_size = size;
            caches.l2_ways = static_cast<unsigned>(std::atoi(read_line(dir + "ways_of_associativity").c_str()));
        } else if (level == "3") {
            caches.l3_size = size;
        }
    }
    // Shapes below these sizes would leave no room for runs.
    if (caches.l2_size < (std::size_t{64} << 10) || caches.l2_ways == 0 || !std::has_single_bit(caches.l2_ways)) {
        return std::nullopt;
    }
    return caches;
}

std::optional<BlockShape> parse_block_shape(std::string_view text) {
    unsigned values[9] = {};
    std::size_t count = 0;
    const char* p = text.data();
    const char* end = p + text.size();
    while (count < 9) {
        const auto [next, ec] = std::from_chars(p, end, values[count]);
        if (ec != std::errc() || values[count] > 62) {
            return std::nullopt;
        }
        ++count;
        p = next;
        if (p == end) {
            break;
        }
        if (*p != ',') {
            return std::nullopt;
        }
        ++p;
    }
    if (p != end || (count != 7 && count != 9)) {
        return std::nullopt;
    }
    BlockShape shape{values[0], values[1], values[2], values[3], values[4], values[5], values[6]};
    if (count == 9) {
        shape.far_qubit = values[7];
        shape.sub_far_qubit = values[8];
    }
    return shape;
}

const BlockShape& machine_block_shape() {
    static const BlockShape shape = [] {
        if (const char* forced = std::getenv("VASTREL_BLOCK_SHAPE")) {
            if (const auto parsed = parse_block_shape(forced)) {
                return *parsed;
            }
        }
        const auto caches = read_cache_geometry();
        return caches ? shape_for(*caches) : kDefaultBlockShape;
    }();
    return shape;
}

}  // namespace vastrel::sim
