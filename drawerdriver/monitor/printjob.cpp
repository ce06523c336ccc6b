#include "monitor/printjob.h"

#include <utility>

namespace drawerdriver {

namespace {
// A piece is whole commands of about this many bytes: small, so that a
// kick or question due waits for little more than the command in progress;
// more, so that the printer is not kept waiting for a turn of the monitor.
constexpr std::size_t PieceTarget = 256;
} // namespace

PrintJob::PrintJob(std::vector<std::uint8_t> bytes, PrinterLanguage language, Done done)
    : lastTaken(Clock::now()), m_bytes(std::move(bytes)), m_reader(language),
      m_done(std::move(done))
{
}

// Whole commands up to about PieceTarget bytes, or up to a command the
// printer answers. A command the reading does not know makes the rest of
// the job one piece, which may ask anything.
void PrintJob::nextPiece()
{
    if (!needsPiece() || allWritten())
        return;
    m_pieceStart = m_written;
    m_pieceMayAnswer = false;
    std::size_t end = m_written;
    while (end < m_bytes.size()) {
        const bool ended = m_reader.take(m_bytes[end++]);
        // Real-time questions inside an image's data are answered too.
        m_pieceMayAnswer |= m_reader.strayQuestion();
        if (m_reader.lost()) {
            end = m_bytes.size();
            m_pieceMayAnswer = true;
            break;
        }
        if (!ended)
            continue;
        m_pieceMayAnswer |= m_reader.asksForAnswer();
        if (m_reader.asksForAnswer() || end - m_pieceStart >= PieceTarget)
            break;
    }
    m_pieceEnd = end;
}

bool PrintJob::endsInsideCommand(PrinterLanguage language, const std::vector<std::uint8_t> &job)
{
    CommandReader reader(language);
    for (const std::uint8_t byte : job)
        reader.take(byte);
    return !reader.lost() && !reader.atBoundary();
}

void PrintJob::finish(bool printed, std::size_t taken, std::string error)
{
    if (!m_done)
        return;
    const Done done = std::exchange(m_done, {});
    done({printed, taken, m_bytes.size(), std::move(error)});
}

} // namespace drawerdriver
