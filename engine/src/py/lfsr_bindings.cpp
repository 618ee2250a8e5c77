// Lfsr16, BitstreamEncoder, BitstreamAverager.
#include "bindings.hpp"
#include "lfsr.hpp"

namespace py {

using lfsr::BitstreamAverager;
using lfsr::BitstreamEncoder;
using lfsr::Lfsr16;

Ref lfsr16_class() {
    return Class<Lfsr16>("Lfsr16")
        .init<[](uint16_t seed) { return Lfsr16(seed); }>({arg("seed", 44257)})
        .def<&Lfsr16::step>("step")
        .def<&Lfsr16::reset>("reset", {arg("seed", None)})
        .prop<[](const Lfsr16& s) { return s.reg; }>("reg")
        .prop<[](const Lfsr16& s) { return s.width; }>("width")
        .build();
}

Ref bitstream_encoder_class() {
    return Class<BitstreamEncoder>("BitstreamEncoder")
        .init<[](uint32_t data_width, uint16_t seed) { return BitstreamEncoder(data_width, seed); }>(
            {arg("data_width", 16), arg("seed", 44257)})
        .def<&BitstreamEncoder::step>("step", {arg("x_value")})
        .def<&BitstreamEncoder::reset>("reset", {arg("seed", None)})
        .prop<[](const BitstreamEncoder& s) { return s.reg; }>("reg")
        .prop<[](const BitstreamEncoder& s) { return s.data_width; }>("data_width")
        .build();
}

Ref bitstream_averager_class() {
    return Class<BitstreamAverager>("BitstreamAverager")
        .init<[](std::size_t window) { return BitstreamAverager(window); }>({arg("window", 1024)})
        .def<&BitstreamAverager::push>("push", {arg("bit")})
        .def<&BitstreamAverager::estimate>("estimate")
        .def<&BitstreamAverager::reset>("reset")
        .prop<&BitstreamAverager::window>("window")
        .build();
}

}  // namespace py
