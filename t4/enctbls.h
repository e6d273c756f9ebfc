// Code tables of the T.4 encoder, derived from the code lists in t4codes.h.
// Every code is stored with its first transmitted bit in bit 0 (the T.4 bit
// string read backwards), the order in which the emitter packs the stream.
#pragma once

#include <array>
#include <cstdint>

struct code_entry {
    int32_t code;    // bits in transmission order from bit 0
    int32_t length;  // bits, 1 to 13
};

// Index layout of white_codes and black_codes.
constexpr int ENC_TERMINATING_COUNT = 64;  // 0..63: terminating codes of runs 0..63
constexpr int ENC_MAKEUP_FIRST = 64;       // 64..90: make-up 64 * (index - 63), up to 1728
constexpr int ENC_EXTENDED_FIRST = 91;     // 91..103: extended make-up 1792..2560
constexpr int ENC_EOL_INDEX = 104;         // EOL, the same in both tables
constexpr int ENC_RUN_TABLE_SIZE = 105;

// Index of mode_codes: token - 32001. 0 pass, 1 horizontal, 2 V0, 3-5 VL1-3,
// 6-8 VR1-3, 9 EOL + tag 1, 10 EOL + tag 0.
constexpr int ENC_MODE_TABLE_SIZE = 11;

// A whole run's code for the coder's emitter: the make-up code (if the run
// has one) followed by the terminating code, packed as the bits in
// transmission order from bit 0 with the length above ENC_LENGTH_SHIFT.
// Indexed [colour][run], colour 0 white, 1 black, runs 0 to 2623; longer
// runs begin with make-up 2560 codes (ENC_MAKEUP_2560_INDEX).
constexpr int ENC_PACKED_RUNS = 2560 + 64;
constexpr int ENC_LENGTH_SHIFT = 27;
constexpr uint32_t ENC_CODE_MASK = (1u << ENC_LENGTH_SHIFT) - 1;
constexpr int ENC_MAKEUP_2560_INDEX = ENC_EOL_INDEX - 1;
using packed_run_table = std::array<std::array<uint32_t, ENC_PACKED_RUNS>, 2>;
extern const packed_run_table packed_run_codes;

// packed_run_codes with code and length apart, for a coder that adds the
// length on its own.
struct run_code_bits {
    uint32_t code;
    uint32_t length;
};
using split_run_table = std::array<std::array<run_code_bits, ENC_PACKED_RUNS>, 2>;
extern const split_run_table split_run_codes;

constexpr uint32_t pack_code(code_entry e)
{
    return static_cast<uint32_t>(e.code) | static_cast<uint32_t>(e.length) << ENC_LENGTH_SHIFT;
}

extern const std::array<code_entry, ENC_RUN_TABLE_SIZE> white_codes;
extern const std::array<code_entry, ENC_RUN_TABLE_SIZE> black_codes;
extern const std::array<code_entry, ENC_MODE_TABLE_SIZE> mode_codes;
