// Engine base class: fields after construction, the stubs, and deletion of
// a derived object through a base pointer.
#include <gtest/gtest.h>

#include <type_traits>
#include <vector>

#include "Convert.h"

namespace {

TEST(Convert, FieldsAfterConstruction) {
    const Convert c;
    EXPECT_EQ(c.precision, "fp32");
    EXPECT_EQ(c.min_shape, (std::vector<int>{1, 3, 20, 20}));
    EXPECT_EQ(c.opt_shape, (std::vector<int>{1, 3, 512, 512}));
    EXPECT_EQ(c.max_shape, (std::vector<int>{100, 3, 640, 640}));
}

TEST(Convert, StubsSucceedWhateverTheyAreGiven) {
    Convert c;
    EXPECT_TRUE(c.buildEngine("", ""));
    EXPECT_TRUE(c.buildEngine("/no/such.onnx", "/no/such.engine"));
    EXPECT_TRUE(c.deserializeEngine("x"));
    EXPECT_EQ(c.Model_Init("dir", "a", "b"), 0);
    EXPECT_EQ(c.precision, "fp32");  // the stubs change nothing
    EXPECT_EQ(c.max_shape, (std::vector<int>{100, 3, 640, 640}));
}

struct Probe : public Convert {
    explicit Probe(int* destroyed) : destroyed_(destroyed) {}
    ~Probe() override { ++*destroyed_; }
    std::vector<int> own = std::vector<int>(1000, 7);  // freed only by ~Probe
    int* destroyed_;
};

TEST(Convert, DeletingThroughBasePointerRunsTheDerivedDestructor) {
    static_assert(std::has_virtual_destructor<Convert>::value, "Convert must be deletable through a base pointer");
    int destroyed = 0;
    Convert* p = new Probe(&destroyed);
    EXPECT_EQ(p->precision, "fp32");  // the base part is constructed first
    delete p;
    EXPECT_EQ(destroyed, 1);
}

}  // namespace
