// A C++ host built against an installed Karvex: the Fiscal control must be made, answer and go, with no
// store or port touched (the data directory is a scratch one).
#include <karvex/application.h>
#include <karvex/fiscal.h>
#include <karvex/settings.h>

#include <QDir>
#include <cstdio>

int main() {
    if (!karvex::EnsureApplication()) return 1;
    karvex::Settings settings;
    settings.dataDirectory = QDir::tempPath().toStdString() + "/karvex-cpp-host";
    karvex::Fiscal fiscal(settings);
    std::printf("karvex++ %d\n", fiscal.Status());
    return 0;
}
