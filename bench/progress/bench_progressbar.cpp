// Cost of a Value set with its full repaint, against Qt's own progress bar of the same size
// repainted as often, in the same run. Prints microseconds per repaint and the ratio.

#include "progress/ProgressBar.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QProgressBar>

#include <algorithm>
#include <cstdio>

namespace {

constexpr int kSets = 10000;
constexpr int kRounds = 3;

// Only the platform's repaint, value unchanged.
double microsecondsPerRepaint(QWidget &w)
{
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < kSets; ++i)
        w.repaint();
    return double(timer.nsecsElapsed()) / 1000.0 / kSets;
}

template <typename Bar>
double microsecondsPerSet(Bar &bar, bool withScreen)
{
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < kSets; ++i) {
        bar.setValue(i % 101);
        if (withScreen)
            bar.repaint();
    }
    const double us = double(timer.nsecsElapsed()) / 1000.0 / kSets;
    QCoreApplication::processEvents();
    return us;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    // Set up like the main window's bar: sand theme, percent caption with a shadow.
    // Both bars sit in one window, as on the main window.
    QWidget window;
    window.resize(260, 90);
    ProgressBar bar(&window);
    bar.setObjectName(QStringLiteral("ProgressBar1"));
    bar.resize(238, 28);
    bar.InitProperties();
    bar.setValue(0);
    bar.setTextStyle(ProgressBar::TextShowPercent);
    QFont font;
    font.setFamilies({QStringLiteral("宋体"), QStringLiteral("WenQuanYi Micro Hei")});
    font.setPointSize(9);
    bar.setTextFont(font);
    bar.move(10, 10);

    QProgressBar qt(&window);
    qt.resize(238, 28);
    qt.setRange(0, 100);
    qt.setFont(font);
    qt.move(10, 50);
    window.show();
    QCoreApplication::processEvents();

    double ours = 1e300, theirs = 1e300, redrawOnly = 1e300, theirPaint = 1e300;
    microsecondsPerSet(bar, true); // warm the font and image caches
    microsecondsPerSet(qt, true);
    for (int round = 0; round < kRounds; ++round) {
        ours = std::min(ours, microsecondsPerSet(bar, true));
        theirs = std::min(theirs, microsecondsPerSet(qt, true));
        redrawOnly = std::min(redrawOnly, microsecondsPerSet(bar, false));
        theirPaint = std::min(theirPaint, microsecondsPerRepaint(qt));
    }

    std::printf("bench_progressbar: %d Value sets on a 238 x 28 bar, best of %d rounds\n",
                kSets, kRounds);
    std::printf("  ProgressBar  set + repaint:  %8.2f us per repaint\n", ours);
    std::printf("  QProgressBar set + repaint:  %8.2f us per repaint\n", theirs);
    std::printf("  QProgressBar repaint alone:  %8.2f us per repaint (value unchanged)\n",
                theirPaint);
    std::printf("  ProgressBar  picture only:   %8.2f us per set (RedrawBar, no screen)\n",
                redrawOnly);
    std::printf("  ratio ProgressBar / QProgressBar: %.2f (target at most 1.50)\n",
                ours / theirs);
    std::printf("  ratio against QProgressBar repaint alone: %.2f\n", ours / theirPaint);
    return 0;
}
