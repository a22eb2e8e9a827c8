// Bounds-checked reading of a FlatBuffer held in memory. Every offset taken from the bytes is checked
// against the buffer before it is followed, so a damaged file ends in a ModelError, never in a read
// outside the buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace kov {

class FlatTable;

// A vector inside the buffer: `count` elements of `elementSize` bytes starting at `position`.
struct FlatVector {
  std::size_t position = 0;
  std::uint32_t count = 0;
};

class FlatBuffer {
 public:
  // `name` is used in error messages ("<name>: <what is wrong>").
  FlatBuffer(std::span<const std::uint8_t> bytes, std::string name);

  // The root table, after checking the identifier at bytes 4..7.
  FlatTable root(std::string_view identifier) const;

  [[noreturn]] void damaged(const std::string& what) const;

  const std::string& name() const { return name_; }
  std::span<const std::uint8_t> bytes() const { return bytes_; }

  // Little-endian reads at `position`; `what` names the item for the error message.
  std::uint8_t u8(std::size_t position, std::string_view what) const;
  std::uint16_t u16(std::size_t position, std::string_view what) const;
  std::uint32_t u32(std::size_t position, std::string_view what) const;
  std::int32_t i32(std::size_t position, std::string_view what) const;

  // Checks that [position, position + length) lies inside the buffer.
  void require(std::size_t position, std::size_t length, std::string_view what) const;

  // The table whose offset is stored at `position` (offset relative to `position`).
  FlatTable tableAt(std::size_t position, std::string_view what) const;
  // A vector of elements of `elementSize` bytes whose offset is stored at `position`.
  FlatVector vectorAt(std::size_t position, std::size_t elementSize, std::string_view what) const;
  std::string stringAt(std::size_t position, std::string_view what) const;
  // Element `index` of a vector of tables.
  FlatTable tableElement(const FlatVector& vector, std::uint32_t index, std::string_view what) const;
  std::int32_t int32Element(const FlatVector& vector, std::uint32_t index, std::string_view what) const;

 private:
  std::span<const std::uint8_t> bytes_;
  std::string name_;
};

// A table: fields are found through its vtable by slot offset (4, 6, 8, ...).
class FlatTable {
 public:
  FlatTable(const FlatBuffer& buffer, std::size_t position, std::string_view what);

  bool has(std::uint16_t slot) const { return fieldPosition(slot) != 0; }

  std::uint8_t u8(std::uint16_t slot, std::uint8_t fallback) const;
  std::int8_t i8(std::uint16_t slot, std::int8_t fallback) const;
  std::int32_t i32(std::uint16_t slot, std::int32_t fallback) const;
  std::uint32_t u32(std::uint16_t slot, std::uint32_t fallback) const;
  bool boolean(std::uint16_t slot, bool fallback) const { return u8(slot, fallback ? 1 : 0) != 0; }

  // Absent fields give an empty vector, an empty string, or no table.
  FlatVector vector(std::uint16_t slot, std::size_t elementSize, std::string_view what) const;
  std::string string(std::uint16_t slot, std::string_view what) const;
  bool table(std::uint16_t slot, std::string_view what, FlatTable& out) const;

  const FlatBuffer& buffer() const { return *buffer_; }

 private:
  // Position of the field's bytes in the buffer, or 0 when the field is absent.
  std::size_t fieldPosition(std::uint16_t slot) const;
  std::size_t checkedField(std::uint16_t slot, std::size_t size) const;

  const FlatBuffer* buffer_;
  std::size_t position_;
  std::size_t vtable_;
  std::uint16_t vtableSize_;
  std::uint16_t tableSize_;
  std::string what_;
};

}  // namespace kov
