// Reads a print job as the printer will, a byte at a time, so that the
// service knows where one command ends and the next begins: only there may
// it put a status question or a kick of its own, and only there is a kick
// inside the job a kick rather than bytes of an image.
#pragma once

#include <array>
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
    explicit CommandReader(PrinterLanguage language) : m_language(language) { }

    // Takes the job's next byte; true when that byte ends a command, so the
    // job now stands at a boundary between two commands. Never true once
    // lost().
    bool take(std::uint8_t byte);
    // An unknown command was met: from here to the job's end no boundary is
    // known.
    bool lost() const { return m_state == State::Lost; }
    // True at the job's start and after a command ends; false inside a
    // command and once lost. A job that ends away from a boundary leaves the
    // printer waiting for the rest of its command.
    bool atBoundary() const { return m_state == State::Start; }

    // For the command the last take() ended (valid only when it returned
    // true): the drawer it fires, 0 for the first (ESC/POS pin 2, Star BEL)
    // and 1 for the second (ESC/POS pin 5, Star SUB). Star's ESC BEL n1 n2
    // only sets the pulse: the BEL after it is the kick...
    std::optional<int> firedDrawer() const { return m_firedDrawer; }
    // ...and whether the printer answers it (DLE EOT, DLE DC4 7 and 8, GS I,
    // GS r, GS a and GS j turning reports on, Star ESC ACK SOH, ENQ, EOT...;
    // not DLE ENQ, which only recovers from an error).
    bool asksForAnswer() const { return m_asksForAnswer; }

    // ESC/POS printers carry out their real-time commands wherever the bytes
    // appear, even inside an image's data (their reference warns of it). When
    // the last take() completed such bytes inside another command: the drawer
    // DLE DC4 1 m t may have fired, and whether DLE EOT n may be answered.
    // Neither ends a command nor makes a boundary.
    std::optional<int> strayKick() const { return m_strayKick; }
    bool strayQuestion() const { return m_strayQuestion; }

private:
    enum class State { Start, Head, Skip, Until, Groups, Lost };
    void beginData(std::uint8_t byte);
    bool endCommand();
    void decode();
    void watchRealTime(std::uint8_t byte);

    PrinterLanguage m_language;
    State m_state = State::Start;
    bool m_raster = false; // Star raster mode, which has commands of its own
    // The command's first bytes: its header, then the start of its data.
    std::array<std::uint8_t, 16> m_head {};
    std::size_t m_headSize = 0;
    std::uint64_t m_count = 0; // data bytes left, or at most, before the terminator
    std::uint8_t m_terminator = 0;
    // Repeated groups (ESC & characters, FS q images): each a small header
    // whose values give the length of the data that follows it.
    std::uint64_t m_groups = 0;
    std::uint64_t m_groupUnit = 0;
    std::uint8_t m_groupHeadSize = 0;
    std::array<std::uint8_t, 4> m_group {};
    std::size_t m_groupFill = 0;

    std::optional<int> m_firedDrawer;
    bool m_asksForAnswer = false;
    std::array<std::uint8_t, 4> m_recent {}; // the last data bytes, oldest first
    std::size_t m_recentSize = 0;
    std::optional<int> m_strayKick;
    bool m_strayQuestion = false;
};

// A kick inside a job: the offset of its first byte, its drawer (0 or 1),
// and whether it was read as a command (certain) or only its bytes were found,
// after the reader was lost or as real-time bytes inside another command's
// data (better a row too many than a kick unrecorded).
struct JobKick {
    std::size_t offset = 0;
    int drawer = 0;
    bool certain = true;

    bool operator==(const JobKick &) const = default;
};

// Every kick in a whole job, found before any of it prints, so that each is
// recorded first.
std::vector<JobKick> findKicks(PrinterLanguage language, const std::uint8_t *job, std::size_t size);

} // namespace drawerdriver
