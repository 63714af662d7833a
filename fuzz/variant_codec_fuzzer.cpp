// A wire Variant from untrusted bytes: read it, and when it reads, write it and read
// it again; the second writing must give the same bytes as the first.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>

#include <capnp/message.h>
#include <capnp/serialize.h>
#include <kj/array.h>
#include <kj/exception.h>

#include "automation/variant_codec.h"

namespace {

kj::Array<capnp::word> Written(const automation::Variant& value) {
  capnp::MallocMessageBuilder message;
  automation::WriteVariant(value, message.initRoot<automation::wire::Variant>());
  return capnp::messageToFlatArray(message);
}

automation::Variant ReadBack(kj::ArrayPtr<const capnp::word> words) {
  capnp::FlatArrayMessageReader reader(words);
  return automation::ReadVariant(reader.getRoot<automation::wire::Variant>());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The message words, aligned as the reader wants them; a partial last word is dropped.
  auto words = kj::heapArray<capnp::word>(size / sizeof(capnp::word));
  if (words.size() > 0) std::memcpy(words.begin(), data, words.size() * sizeof(capnp::word));

  automation::Variant value;
  try {
    // A segment table that does not fit the words, or pointers out of bounds, raise here.
    capnp::FlatArrayMessageReader reader(words);
    value = automation::ReadVariant(reader.getRoot<automation::wire::Variant>());
  } catch (const kj::Exception&) {
    return 0;
  } catch (const std::exception&) {
    return 0;
  }

  // Reading into a Variant that holds a value of its own gives the same value.
  {
    capnp::FlatArrayMessageReader reader(words);
    automation::Variant held = automation::Variant::String("a text held before, longer than a short one");
    automation::ReadVariantInto(reader.getRoot<automation::wire::Variant>(), held);
    kj::Array<capnp::word> direct = Written(value);
    kj::Array<capnp::word> into = Written(held);
    if (direct.size() != into.size() || std::memcmp(direct.begin(), into.begin(), direct.asBytes().size()) != 0) {
      throw std::logic_error("reading into a held Variant gives another value");
    }
  }

  // What the reader accepts, the writer writes, and it reads back as it was written.
  kj::Array<capnp::word> first = Written(value);
  kj::Array<capnp::word> second = Written(ReadBack(first));
  if (first.size() != second.size() || std::memcmp(first.begin(), second.begin(), first.asBytes().size()) != 0) {
    throw std::logic_error("a Variant reads back other than it was written");
  }
  return 0;
}
