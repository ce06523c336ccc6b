// Reads a print job as the printer will, a byte at a time, so that the
// service knows where one command ends and the next begins: only there may
// it put a status question or a kick of its own, and only there is a kick
// inside the job a kick rather than bytes of an image.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace drawerdriver {

// The printer's command language: `protocol = escpos` or `protocol = star`
// (Star line mode).
enum class PrinterLanguage { EscPos, StarLine };

class CommandReader {
public:
    explicit CommandReader(PrinterLanguage language);

    // Takes the job's next byte; true when that byte ends a command, so the
    // job now stands at a boundary between two commands. Never true once
    // lost().
    bool take(std::uint8_t byte);
    // An unknown command was met: from here to the job's end no boundary is
    // known.
    bool lost() const { return m_lost; }
    // True at the job's start and after a command ends; false inside a
    // command and once lost.
    bool atBoundary() const { return !m_lost && m_state == State::Start; }

    // For the command the last take() ended (valid only when it returned true):
    // the drawer it fires, 0 for the first (ESC/POS pin 2, Star BEL) and 1
    // for the second (ESC/POS pin 5, Star SUB)...
    std::optional<int> firedDrawer() const { return m_firedDrawer; }
    // ...and whether the printer answers it (DLE EOT, DLE ENQ, GS I, GS r,
    // Star ESC ACK SOH...), so that its answer goes back to the job's sender
    // rather than being taken for a status the service asked for.
    bool asksForAnswer() const { return m_asksForAnswer; }

private:
    enum class State { Start, Command, Data, Lost };
    // ... private parts are the reader's own and may change.
    PrinterLanguage m_language;
    State m_state = State::Start;
    bool m_lost = false;
    std::optional<int> m_firedDrawer;
    bool m_asksForAnswer = false;
};

// A kick inside a job: the offset of its first byte, its drawer (0 or 1),
// and whether the reader found it as a command (certain) or only found its
// bytes after it was lost (a row too many is better than a kick unrecorded).
struct JobKick {
    std::size_t offset = 0;
    int drawer = 0;
    bool certain = true;
};

// Every kick in a whole job, found before any of it prints, so that each is
// recorded first.
std::vector<JobKick> findKicks(PrinterLanguage language, const std::uint8_t *job, std::size_t size);

} // namespace drawerdriver
