#include <gtest/gtest.h>

#include "Fakes/SharedFakes.h"

FakeServices& sharedFakes() {
    static FakeServices fakes;
    return fakes;
}

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    platform::Services::installShared(sharedFakes().services());
    return RUN_ALL_TESTS();
}
