// Thread rule: compile-time helpers and plain functions; no state.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <initializer_list>
#include <type_traits>
#include <vector>

namespace abiguard {

// Size and alignment of one field's type on the target being compiled for.
struct Shape {
    std::size_t size;
    std::size_t align;

    template <typename T>
    static constexpr Shape Of() {
        return Shape{sizeof(T), alignof(T)};
    }
};

constexpr std::size_t RoundUp(std::size_t value, std::size_t align) {
    return (value + align - 1) / align * align;
}

// Where a record's fields go when each is placed, in order, at the next
// multiple of its own alignment, and the record is padded to a multiple of
// its largest alignment: the layout that every compiler for the target gives
// a plain record, independent of the headers it checks.
template <std::size_t N>
struct Layout {
    std::size_t offsets[N];
    std::size_t size;
    std::size_t align;
};

template <std::size_t N>
constexpr Layout<N> LayOut(const Shape (&fields)[N]) {
    Layout<N> layout{};
    std::size_t end = 0;
    std::size_t align = 1;
    for (std::size_t i = 0; i < N; ++i) {
        const std::size_t offset = RoundUp(end, fields[i].align);
        layout.offsets[i] = offset;
        end = offset + fields[i].size;
        if (fields[i].align > align) align = fields[i].align;
    }
    layout.align = align;
    layout.size = RoundUp(end, align);
    return layout;
}

// One field as the record declares it, next to the type that the interface
// gives it.
struct Field {
    const char* name;
    std::size_t offset;      // offsetof the named field
    bool inPosition;         // the named field is the one declared at this position
    bool expectedType;     // the declared type is exactly the interface's type
    Shape shape;             // size and alignment of the interface's type
};

// Compares a record with the layout computed from the interface's field types
// in their order. `fields` lists every field of the record.
template <typename Record, std::size_t N>
void ExpectLayout(const char* record, const Field (&fields)[N]) {
    Shape shapes[N];
    for (std::size_t i = 0; i < N; ++i) shapes[i] = fields[i].shape;
    const Layout<N> expected = LayOut(shapes);
    for (std::size_t i = 0; i < N; ++i) {
        EXPECT_TRUE(fields[i].inPosition) << record << "::" << fields[i].name << " is not field " << i;
        EXPECT_TRUE(fields[i].expectedType) << record << "::" << fields[i].name << " has another type";
        EXPECT_EQ(fields[i].offset, expected.offsets[i]) << record << "::" << fields[i].name << " moved";
    }
    EXPECT_EQ(sizeof(Record), expected.size) << record << " changed size";
    EXPECT_EQ(alignof(Record), expected.align) << record << " changed alignment";
    EXPECT_TRUE(std::is_standard_layout<Record>::value) << record;
    EXPECT_TRUE(std::is_trivially_copyable<Record>::value) << record;
}

}  // namespace abiguard

// Describes field `Name` of the record object `record`, bound by a structured
// binding as `binding` (so that the number and order of the fields are fixed),
// with the type `...` that the interface gives it.
#define ABI_FIELD(record, binding, Name, ...)                                                  \
    ::abiguard::Field {                                                                             \
        #Name, offsetof(std::remove_reference_t<decltype(record)>, Name),                      \
            static_cast<const void*>(&(record).Name) == static_cast<const void*>(&(binding)),  \
            std::is_same<decltype(std::remove_reference_t<decltype(record)>::Name),            \
                         __VA_ARGS__>::value,                                                  \
            ::abiguard::Shape::Of<__VA_ARGS__>()                                                    \
    }
