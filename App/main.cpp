#include "App/AppDelegate.h"

int main(int argc, char** argv) {
    return platform::applicationMain(argc, argv, AppDelegate::runtimeClass.name());
}
