// What the camera head recognises on its line, checked by the head's own code: the Pelco-D and
// Pelco-P command frames of normal operation and the loader's firmware frames. Pure functions,
// written apart from the tool's frame builders so that each side checks the other.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace head {

enum class PelcoProtocol { PelcoD, PelcoP };

const char* ProtocolName(PelcoProtocol protocol);

// A well-formed Pelco command frame.
struct PelcoFrame {
    PelcoProtocol protocol = PelcoProtocol::PelcoD;
    // Bus address, 1 to 255 for an addressable head: Pelco-D carries it as is, Pelco-P carries
    // address - 1, so a Pelco-P address byte FF reads as 256 here.
    unsigned address = 0;
    std::array<std::uint8_t, 4> command{};  // D: command 1, command 2, data 1, data 2; P: data 1-4
    std::size_t length = 0;                 // 7 (D) or 8 (P)

    bool IsStartUpgrade() const;
};

enum class Match {
    Frame,     // bytes[0..length) form a frame
    NeedMore,  // bytes begin like a frame, more are needed to tell
    NoFrame,   // bytes[0] starts no frame
};

// Pelco-D: FF, address, four command bytes, 8-bit sum of bytes 2 to 6.
// Pelco-P: A0, address - 1, four data bytes, AF, XOR of bytes 1 to 7.
Match MatchPelcoFrame(std::span<const std::uint8_t> bytes, PelcoFrame* frame);

// The fields of a complete frame as the head reads them.
struct LoaderFrameFields {
    bool startByteOk = false;
    bool lastBlock = false;  // flag byte non-zero
    std::uint8_t flagByte = 0;
    std::uint32_t loadAddress = 0;
    std::uint16_t lengthField = 0;
    std::uint32_t carriedSum = 0;   // the 24-bit checksum the frame carries
    std::uint32_t computedSum = 0;  // the head's own 24-bit sum of bytes 1..4103
    bool SumOk() const { return carriedSum == computedSum; }
};

// frame must hold exactly wire::kFrameSize bytes (the layout in HeadWire.h).
LoaderFrameFields ReadLoaderFrame(std::span<const std::uint8_t> frame);

// "ff 01 00 57" style text of at most maxBytes bytes, with "..." when cut.
std::string HexBytes(std::span<const std::uint8_t> bytes, std::size_t maxBytes = 16);

}  // namespace head
