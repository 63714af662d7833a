// Writes the binary seed inputs of the fuzz targets from the code that makes such
// bytes for real:
// - packed_record: records the packer packs from event sets;
// - variant_codec: wire Variants as the codec writes them;
// - rpc_bootstrap: what a real client sends on one connection, recorded on its way
//   to a daemon's rig. Each seed is a sequence of calls sent without waiting for
//   answers (promise pipelining), so the bytes do not depend on the daemon's timing.
//
//   fuzz_seed_writer DIR   writes DIR/<target>/<name>.bin (DIR is fuzz/corpus)

#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <capnp/rpc-twoparty.h>
#include <kj/async-io.h>
#include <kj/debug.h>

#include <capnp/message.h>
#include <capnp/serialize.h>

#include "automation/variant_codec.h"
#include "fuzz/rpc_rig.h"
#include "recordkit/property_packer.h"
#include "recordkit/property_set.h"
#include "server/dispatch_ids.h"
#include "server/ledgerwick.capnp.h"

namespace {

using automation::SafeArray;
using automation::Variant;
using automation::VarType;
using ledgerwick::rpc::Application;
using ledgerwick::rpc::Factory;

// Passes everything through and keeps a copy of what is written.
class RecordingStream final : public kj::AsyncIoStream {
 public:
  RecordingStream(kj::AsyncIoStream& inner, std::vector<kj::byte>& written) : inner_(inner), written_(written) {}

  kj::Promise<size_t> tryRead(void* buffer, size_t minBytes, size_t maxBytes) override {
    return inner_.tryRead(buffer, minBytes, maxBytes);
  }
  kj::Promise<void> write(const void* buffer, size_t size) override {
    auto bytes = static_cast<const kj::byte*>(buffer);
    written_.insert(written_.end(), bytes, bytes + size);
    return inner_.write(buffer, size);
  }
  kj::Promise<void> write(kj::ArrayPtr<const kj::ArrayPtr<const kj::byte>> pieces) override {
    for (auto piece : pieces) written_.insert(written_.end(), piece.begin(), piece.end());
    return inner_.write(pieces);
  }
  kj::Promise<void> whenWriteDisconnected() override { return inner_.whenWriteDisconnected(); }
  void shutdownWrite() override { inner_.shutdownWrite(); }

 private:
  kj::AsyncIoStream& inner_;
  std::vector<kj::byte>& written_;
};

Application::Client CreateApplication(Factory::Client& factory, const char* progId = "Ledgerwick.Application") {
  auto request = factory.createRequest();
  request.setProgId(progId);
  return request.send().getObject().castAs<Application>();
}

void SetText(automation::wire::Variant::Builder out, const char* text) {
  automation::WriteVariant(automation::Variant::String(text), out);
}

struct Seed {
  const char* name;
  std::function<kj::Promise<void>(Factory::Client&)> calls;
};

const Seed kSeeds[] = {
    {"bootstrap_only", [](Factory::Client&) { return kj::Promise<void>(kj::READY_NOW); }},
    {"create_unknown_class",
     [](Factory::Client& factory) {
       auto request = factory.createRequest();
       request.setProgId("Recordkit.NoSuchClass");
       return request.send().ignoreResult();
     }},
    {"admin_status",
     [](Factory::Client& factory) {
       return factory.adminRequest().send().getAdmin().statusRequest().send().ignoreResult();
     }},
    {"loggit_fields",
     [](Factory::Client& factory) {
       auto app = CreateApplication(factory);
       auto appName = app.setAppNameRequest();
       appName.setSzAppName("fuzz-seed");
       auto description = app.setDescriptionRequest();
       description.setValue("an event with its description");
       auto field = app.setFieldsRequest();
       field.setFieldNo(3);
       SetText(field.initValue(), "Severity 3");
       auto loggit = app.loggitRequest();
       loggit.initVData();
       auto promises = kj::heapArrayBuilder<kj::Promise<void>>(4);
       promises.add(appName.send().ignoreResult());
       promises.add(description.send().ignoreResult());
       promises.add(field.send().ignoreResult());
       promises.add(loggit.send().ignoreResult());
       return kj::joinPromises(promises.finish());
     }},
    {"members",
     [](Factory::Client& factory) {
       auto app = CreateApplication(factory);
       auto method = app.setLogMethodRequest();
       method.setLMeth(0);
       auto promises = kj::heapArrayBuilder<kj::Promise<void>>(6);
       promises.add(method.send().ignoreResult());
       promises.add(app.getLogMethodRequest().send().ignoreResult());
       promises.add(app.getFieldMapRequest().send().ignoreResult());
       promises.add(app.getReadyRequest().send().ignoreResult());
       promises.add(app.getPropertiesRequest().send().getProperties().countRequest().send().ignoreResult());
       promises.add(app.destroyRequest().send().ignoreResult());
       return kj::joinPromises(promises.finish());
     }},
    {"property_set_value",
     [](Factory::Client& factory) {
       auto app = CreateApplication(factory);
       auto item = app.getPropertiesRequest().send().getProperties().itemRequest();
       item.setName("Description");
       auto set = item.send().getProperty().setValueRequest();
       SetText(set.initValue(), "set through the property");
       auto promises = kj::heapArrayBuilder<kj::Promise<void>>(2);
       promises.add(set.send().ignoreResult());
       promises.add(app.loggitRequest().send().ignoreResult());
       return kj::joinPromises(promises.finish());
     }},
    {"invoke_by_dispid",
     [](Factory::Client& factory) {
       auto dispatch = CreateApplication(factory).castAs<automation::wire::Dispatch>();
       auto names = dispatch.getIdsOfNamesRequest();
       auto list = names.initNames(2);
       list.set(0, "Loggit");
       list.set(1, "AppName");
       auto invoke = dispatch.invokeRequest();
       invoke.setDispId(ledgerwick::dispid::kFields);
       invoke.setFlags(2);
       automation::WriteVariant(automation::Variant::Integer(0), invoke.initArgs(1)[0]);
       auto promises = kj::heapArrayBuilder<kj::Promise<void>>(2);
       promises.add(names.send().ignoreResult());
       promises.add(invoke.send().ignoreResult());
       return kj::joinPromises(promises.finish());
     }},
};

void WriteSeed(const std::string& path, kj::ArrayPtr<const kj::byte> bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.begin()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
  std::printf("%s: %zu bytes\n", path.c_str(), bytes.size());
}

Variant Filled(VarType type, std::vector<automation::ArrayBound> bounds, const std::function<Variant(size_t)>& fill) {
  SafeArray array(type, std::move(bounds));
  for (size_t i = 0; i < array.size(); ++i) array.SetFlat(i, fill(i));
  return Variant::Array(std::move(array));
}

Variant Nested(int levels) {
  Variant v = Variant::Long(levels);
  for (int i = 0; i < levels; ++i) v = Filled(VarType::Variant, {{0, 1}}, [&](size_t) { return v; });
  return v;
}

// Values of every kind the wire carries.
std::vector<std::pair<const char*, Variant>> Values() {
  return {
      {"empty", Variant()},
      {"null", Variant::Null()},
      {"integer", Variant::Integer(-32768)},
      {"long", Variant::Long(2147483647)},
      {"single", Variant::Single(1.5f)},
      {"double", Variant::Double(-1e300)},
      {"currency", Variant::Currency(123456789)},
      {"date", Variant::Date(46381.9375)},
      {"string", Variant::String("text with \t and \xc3\xa9")},
      {"boolean", Variant::Boolean(true)},
      {"byte", Variant::Byte(200)},
      {"error", Variant::Error(448)},
      {"by_ref", Variant::ByRef(std::make_shared<Variant>(Variant::String("target")))},
      {"byte_array_2d", Filled(VarType::Byte, {{1, 2}, {-5, 3}}, [](size_t i) { return Variant::Byte(uint8_t(i * 7)); })},
      {"long_array", Filled(VarType::Long, {{0, 4}}, [](size_t i) { return Variant::Long(int32_t(i) - 2); })},
      {"string_array", Filled(VarType::String, {{-1, 3}}, [](size_t i) { return Variant::String(std::string(i, 'x')); })},
      {"variant_array", Filled(VarType::Variant, {{0, 3}}, [](size_t i) {
         return i == 0 ? Variant::String("deep") : i == 1 ? Variant::Date(2) : Variant::Null();
       })},
      {"nested_deepest", Nested(automation::kMaxArrayNesting)},
  };
}

void WriteVariantSeeds(const std::string& dir) {
  for (const auto& [name, value] : Values()) {
    capnp::MallocMessageBuilder message;
    automation::WriteVariant(value, message.initRoot<automation::wire::Variant>());
    auto words = capnp::messageToFlatArray(message);
    WriteSeed(dir + "/" + name + ".bin", words.asBytes());
  }
}

void WritePackedRecordSeeds(const std::string& dir) {
  recordkit::PropertyPacker packer;
  auto pack = [&](const char* name, const recordkit::PropertySet& set, const recordkit::SenderIdentity& sender) {
    Variant record;
    if (packer.PackProperties(record, set, sender) != 0) throw std::runtime_error(std::string("cannot pack ") + name);
    const std::vector<uint8_t>& bytes = record.array().bytes();
    WriteSeed(dir + "/" + name + ".bin", kj::arrayPtr(bytes.data(), bytes.size()));
  };
  recordkit::SenderIdentity nobody;

  pack("empty_event", *recordkit::PropertySet::NewEventSet(), nobody);

  auto event = recordkit::PropertySet::NewEventSet();
  event->Item("AppName")->SetValue(Variant::String("fuzz-seed"));
  event->Item("Description")->SetValue(Variant::String("an event with its description"));
  event->Item("Severity")->SetValue(Variant::Long(3));
  event->Item("EventDate")->SetValue(Variant::Date(46381.9375));
  recordkit::SenderIdentity local;
  local.known = true;
  local.hasCredentials = true;
  local.uid = 1000;
  local.gid = 1000;
  local.pid = 4242;
  pack("event_from_local_peer", *event, local);

  auto every = recordkit::PropertySet::NewEventSet();
  for (const auto& [name, value] : Values()) every->Add(name, value, false);
  recordkit::SenderIdentity remote;
  remote.known = true;
  remote.subject = "CN=client.example";
  pack("every_kind_unmapped", *every, remote);
}

void WriteRpcSeeds(const std::string& dir) {
  for (const Seed& seed : kSeeds) {
    std::vector<kj::byte> written;
    {
      ledgerwick::fuzzing::RpcRig rig;
      RecordingStream recording(*rig.client, written);
      capnp::TwoPartyClient client(recording);
      Factory::Client factory = client.bootstrap().castAs<Factory>();
      auto done = seed.calls(factory).eagerlyEvaluate([](kj::Exception&&) {});
      rig.RunFor(2 * kj::SECONDS);
    }
    WriteSeed(dir + "/" + seed.name + ".bin", kj::arrayPtr(written.data(), written.size()));
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  std::string dir = argv[1];
  WritePackedRecordSeeds(dir + "/packed_record");
  WriteVariantSeeds(dir + "/variant_codec");
  WriteRpcSeeds(dir + "/rpc_bootstrap");
  return 0;
}
