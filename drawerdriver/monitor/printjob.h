// A print job on its way to a receipt printer through the device's monitor:
// its bytes, how far the printer has taken them, and the pieces it goes in.
// A piece is one or more whole commands, found by reading the job as the
// printer will, so that the monitor's own bytes (a status question, a
// kick) go only between two of the job's commands, never into a command's
// data; and a piece that may make the printer answer is known, so that
// nothing the printer sends from then on passes for a status.
#pragma once

#include "protocols/commandreader.h"
#include "transports/wait.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace drawerdriver {

// How a job ended: printed whole (the printer has taken its last byte), or
// not, with how many of its bytes the printer took and why it stopped.
struct PrintResult {
    bool printed = false;
    std::size_t taken = 0;
    std::size_t size = 0;
    std::string error;
};

class PrintJob {
public:
    // Called once, on the monitor's thread, when the job has ended.
    using Done = std::function<void(const PrintResult &)>;

    PrintJob(std::vector<std::uint8_t> bytes, PrinterLanguage language, Done done);

    std::size_t size() const { return m_bytes.size(); }
    std::size_t written() const { return m_written; }
    bool allWritten() const { return m_written == m_bytes.size(); }
    // The last piece is written whole: the next one is to be chosen.
    bool needsPiece() const { return m_written == m_pieceEnd; }
    // Chooses the next piece, once the last one is written.
    void nextPiece();
    // The job stands between two commands: before the piece under way.
    bool atBoundary() const { return m_written == m_pieceStart || m_written == m_pieceEnd; }
    // What is left of the piece under way.
    const std::uint8_t *rest() const { return m_bytes.data() + m_written; }
    std::size_t restSize() const { return m_pieceEnd - m_written; }
    void wrote(std::size_t count) { m_written += count; }

    // The piece under way may make the printer answer (it asks something,
    // or holds commands the reading does not know): from its first byte
    // on, what the printer sends is the job's.
    bool pieceMayAnswer() const { return m_pieceMayAnswer; }
    // A question of the monitor's own may go now: the job stands between
    // two commands, the next piece will not answer, and no piece before did.
    bool mayAsk() const { return atBoundary() && !m_pieceMayAnswer && !m_answersAreTheJobs; }
    // The job has begun a piece that may make the printer answer.
    bool answersAreTheJobs() const { return m_answersAreTheJobs; }
    // The piece under way is about to be written.
    void startPiece()
    {
        if (m_pieceMayAnswer)
            m_answersAreTheJobs = true;
    }

    // When the printer last took any of the job (or the job started).
    Clock::time_point lastTaken;

    // Tells the job's end, once.
    void finish(bool printed, std::size_t taken, std::string error);

    // Whether a job would leave its printer inside a command, waiting for
    // bytes that would then be taken from whatever comes next.
    static bool endsInsideCommand(PrinterLanguage language, const std::vector<std::uint8_t> &job);

private:
    const std::vector<std::uint8_t> m_bytes;
    CommandReader m_reader;
    Done m_done;
    std::size_t m_written = 0;
    std::size_t m_pieceStart = 0;
    std::size_t m_pieceEnd = 0;
    bool m_pieceMayAnswer = false;
    bool m_answersAreTheJobs = false;
};

} // namespace drawerdriver
