#include "platform/neural/flat_reader.h"

#include <cstring>

#include "platform/neural/model_error.h"

namespace kov {

FlatBuffer::FlatBuffer(std::span<const std::uint8_t> bytes, std::string name)
    : bytes_(bytes), name_(std::move(name)) {}

void FlatBuffer::damaged(const std::string& what) const { throw ModelError(name_ + ": " + what); }

void FlatBuffer::require(std::size_t position, std::size_t length, std::string_view what) const {
  if (position > bytes_.size() || length > bytes_.size() - position)
    damaged(std::string(what) + " lies outside the file (offset " + std::to_string(position) + ", " +
            std::to_string(length) + " bytes, file size " + std::to_string(bytes_.size()) + ")");
}

std::uint8_t FlatBuffer::u8(std::size_t position, std::string_view what) const {
  require(position, 1, what);
  return bytes_[position];
}

std::uint16_t FlatBuffer::u16(std::size_t position, std::string_view what) const {
  require(position, 2, what);
  return static_cast<std::uint16_t>(bytes_[position] | (bytes_[position + 1] << 8));
}

std::uint32_t FlatBuffer::u32(std::size_t position, std::string_view what) const {
  require(position, 4, what);
  const std::uint8_t* p = bytes_.data() + position;
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::int32_t FlatBuffer::i32(std::size_t position, std::string_view what) const {
  return static_cast<std::int32_t>(u32(position, what));
}

FlatTable FlatBuffer::root(std::string_view identifier) const {
  if (bytes_.size() < 8) damaged("too short to be a model (" + std::to_string(bytes_.size()) + " bytes)");
  if (identifier.size() != 4 || std::memcmp(bytes_.data() + 4, identifier.data(), 4) != 0)
    damaged("not a TensorFlow Lite model (identifier is not \"" + std::string(identifier) + "\")");
  return tableAt(0, "root table");
}

FlatTable FlatBuffer::tableAt(std::size_t position, std::string_view what) const {
  std::size_t target = position + u32(position, what);
  return FlatTable(*this, target, what);
}

FlatVector FlatBuffer::vectorAt(std::size_t position, std::size_t elementSize, std::string_view what) const {
  std::size_t target = position + u32(position, what);
  FlatVector vector;
  vector.count = u32(target, what);
  vector.position = target + 4;
  // Both factors are below 2^32, so the product cannot overflow a 64-bit size.
  require(vector.position, static_cast<std::size_t>(vector.count) * elementSize, what);
  return vector;
}

std::string FlatBuffer::stringAt(std::size_t position, std::string_view what) const {
  FlatVector chars = vectorAt(position, 1, what);
  require(chars.position, static_cast<std::size_t>(chars.count) + 1, what);
  return std::string(reinterpret_cast<const char*>(bytes_.data() + chars.position), chars.count);
}

FlatTable::FlatTable(const FlatBuffer& buffer, std::size_t position, std::string_view what)
    : buffer_(&buffer), position_(position), what_(what) {
  std::int64_t soffset = buffer.i32(position, what);
  std::int64_t vtable = static_cast<std::int64_t>(position) - soffset;
  if (vtable < 0 || static_cast<std::uint64_t>(vtable) >= buffer.bytes().size())
    buffer.damaged("the vtable of " + std::string(what) + " lies outside the file");
  vtable_ = static_cast<std::size_t>(vtable);
  vtableSize_ = buffer.u16(vtable_, what);
  tableSize_ = buffer.u16(vtable_ + 2, what);
  if (vtableSize_ < 4 || vtableSize_ % 2 != 0)
    buffer.damaged("the vtable of " + std::string(what) + " has a bad size " + std::to_string(vtableSize_));
  buffer.require(vtable_, vtableSize_, what);
  if (tableSize_ < 4) buffer.damaged(std::string(what) + " has a bad size " + std::to_string(tableSize_));
  buffer.require(position_, tableSize_, what);
}

std::size_t FlatTable::fieldPosition(std::uint16_t slot) const {
  if (slot + 2u > vtableSize_) return 0;
  std::uint16_t offset = buffer_->u16(vtable_ + slot, what_);
  return offset == 0 ? 0 : position_ + offset;
}

std::size_t FlatTable::checkedField(std::uint16_t slot, std::size_t size) const {
  std::size_t position = fieldPosition(slot);
  if (position == 0) return 0;
  if (position + size > position_ + tableSize_)
    buffer_->damaged("a field of " + what_ + " lies outside its table");
  return position;
}

std::uint8_t FlatTable::u8(std::uint16_t slot, std::uint8_t fallback) const {
  std::size_t position = checkedField(slot, 1);
  return position ? buffer_->u8(position, what_) : fallback;
}

std::int8_t FlatTable::i8(std::uint16_t slot, std::int8_t fallback) const {
  return static_cast<std::int8_t>(u8(slot, static_cast<std::uint8_t>(fallback)));
}

std::int32_t FlatTable::i32(std::uint16_t slot, std::int32_t fallback) const {
  std::size_t position = checkedField(slot, 4);
  return position ? buffer_->i32(position, what_) : fallback;
}

std::uint32_t FlatTable::u32(std::uint16_t slot, std::uint32_t fallback) const {
  std::size_t position = checkedField(slot, 4);
  return position ? buffer_->u32(position, what_) : fallback;
}

FlatVector FlatTable::vector(std::uint16_t slot, std::size_t elementSize, std::string_view what) const {
  std::size_t position = checkedField(slot, 4);
  return position ? buffer_->vectorAt(position, elementSize, what) : FlatVector{};
}

std::string FlatTable::string(std::uint16_t slot, std::string_view what) const {
  std::size_t position = checkedField(slot, 4);
  return position ? buffer_->stringAt(position, what) : std::string();
}

bool FlatTable::table(std::uint16_t slot, std::string_view what, FlatTable& out) const {
  std::size_t position = checkedField(slot, 4);
  if (!position) return false;
  out = buffer_->tableAt(position, what);
  return true;
}

FlatTable FlatBuffer::tableElement(const FlatVector& vector, std::uint32_t index, std::string_view what) const {
  if (index >= vector.count) damaged(std::string(what) + ": index out of range");
  return tableAt(vector.position + static_cast<std::size_t>(index) * 4, what);
}

std::int32_t FlatBuffer::int32Element(const FlatVector& vector, std::uint32_t index, std::string_view what) const {
  if (index >= vector.count) damaged(std::string(what) + ": index out of range");
  return i32(vector.position + static_cast<std::size_t>(index) * 4, what);
}

}  // namespace kov
