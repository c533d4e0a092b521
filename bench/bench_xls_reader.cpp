// Times the workbook reader on a 65,536-row x 10-column BIFF8 worksheet (or on the workbook named
// on the command line): opening, reading the sheet into a table, and visiting every value.
// Without an argument the workbook is written once with Gnumeric's ssconvert and cached in the build tree.
#include "bench/BigWorkbook.h"
#include "core/workbook/Workbook.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

using tessaly::workbook::Workbook;

namespace {

constexpr int kRepeats = 7;

// Wall-clock and processor time of a phase; processor time stays meaningful on a busy machine.
class PhaseTimer {
public:
    PhaseTimer() { restart(); }
    void restart()
    {
        m_wall.start();
        m_cpuStart = std::clock();
    }
    double wallMs() const { return double(m_wall.nsecsElapsed()) / 1e6; }
    double cpuMs() const { return double(std::clock() - m_cpuStart) * 1000.0 / CLOCKS_PER_SEC; }

private:
    QElapsedTimer m_wall;
    std::clock_t m_cpuStart = 0;
};

struct Phase {
    const char *name;
    std::vector<double> wall;
    std::vector<double> cpu;
    void add(const PhaseTimer &timer)
    {
        wall.push_back(timer.wallMs());
        cpu.push_back(timer.cpuMs());
    }
};

double medianOf(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QString path = app.arguments().value(1, tessaly::bench::bigWorkbookPath());
    if (path.isEmpty())
        return 1;

    Phase open{"open (file, OLE2, globals, shared strings)", {}, {}};
    Phase read{"read the first sheet into a table", {}, {}};
    Phase visit{"visit every value", {}, {}};
    qsizetype cells = 0;
    qsizetype characters = 0;
    for (int repeat = 0; repeat < kRepeats; ++repeat) {
        PhaseTimer timer;
        const auto book = Workbook::open(path);
        if (!book) {
            std::fprintf(stderr, "%s\n", qPrintable(book.failure().message));
            return 1;
        }
        open.add(timer);
        timer.restart();
        const auto table = (*book)->readSheet(0);
        if (!table) {
            std::fprintf(stderr, "%s\n", qPrintable(table.failure().message));
            return 1;
        }
        read.add(timer);
        timer.restart();
        characters = 0;
        std::vector<QStringView> values(std::size_t(table->columnCount()));
        for (qsizetype record = 0; record < table->recordCount(); ++record) {
            table->recordValues(record, values);
            for (const QStringView value : values)
                characters += value.size();
        }
        visit.add(timer);
        cells = table->recordCount() * table->columnCount();
    }
    std::printf("%s: %lld cells, %lld characters; median of %d runs, wall clock / processor time\n", qPrintable(path),
                qlonglong(cells), qlonglong(characters), kRepeats);
    double wallTotal = 0;
    double cpuTotal = 0;
    for (const Phase *phase : {&open, &read, &visit}) {
        std::printf("  %-45s %8.2f ms / %8.2f ms\n", phase->name, medianOf(phase->wall), medianOf(phase->cpu));
        wallTotal += medianOf(phase->wall);
        cpuTotal += medianOf(phase->cpu);
    }
    std::printf("  %-45s %8.2f ms / %8.2f ms\n", "total", wallTotal, cpuTotal);
    return 0;
}
