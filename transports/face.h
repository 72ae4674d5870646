// transports/face.h - what a Transport pointer handed out by a host transport
// points at: the operation table first (so the table's address is the
// record's), a number that says which transport made it, and that
// transport's state. A foreign or released handle is told apart by the
// number, so the utr_ functions refuse it instead of using it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "ulmot/session.h"

namespace utr::detail {

template <typename State, uint32_t kMagic>
struct Face {
    Transport table;
    uint32_t magic;
    State *state;

    // Fills the table and marks the face as made by this transport.
    void Bind(State *owner, ulmot_TransportSendFn send, ulmot_TransportReceiveFn receive,
              ulmot_TransportProbeFn probe, const char *name) {
        table = Transport{};
        table.send = send;
        table.receive = receive;
        table.probe = probe;
        table.name = name;
        state = owner;
        magic = kMagic;
    }
    // Marks the face as released: later calls with it are refused.
    void Unbind() { magic = 0; }

    // The state behind `transport` when this transport made it, else null.
    static State *StateOf(Transport *transport) {
        static_assert(std::is_standard_layout_v<Face>);
        static_assert(offsetof(Face, table) == 0);
        auto *face = reinterpret_cast<Face *>(transport);
        return (face != nullptr && face->magic == kMagic) ? face->state : nullptr;
    }
};

}  // namespace utr::detail
