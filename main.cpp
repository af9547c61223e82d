#include <QCoreApplication>
#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    std::fputs("kavrel-s: not yet: the fax link is still to come\n", stderr);
    return 1;
}
