#include "stream/node_registry.h"

#include <utility>

#include <json/json.h>

#include "support/log.h"

namespace {

// Bucket names and keys hold letters, digits, '-' and '_' (keys '=' and '.' too).
bool plain_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_';
}

// A node name as a key: plain characters as they are, any other as "=XX" (its hex).
std::string key_of(const std::string& name) {
  static const char hex[] = "0123456789ABCDEF";
  std::string key;
  for (char c : name) {
    if (plain_char(c)) {
      key += c;
    } else {
      const auto byte = static_cast<unsigned char>(c);
      key += '=';
      key += hex[byte >> 4];
      key += hex[byte & 0xf];
    }
  }
  return key;
}

std::string compact(const Json::Value& value) {
  Json::StreamWriterBuilder writer;
  writer["indentation"] = "";
  return Json::writeString(writer, value);
}

// An entry's value read back; false for one that is not a node of `kept`'s layout.
bool read_entry(const std::string& text, const shard_layout& kept, cluster_node& out) {
  Json::Value value;
  Json::CharReaderBuilder reader;
  std::string errors;
  std::unique_ptr<Json::CharReader> parse(reader.newCharReader());
  if (!parse->parse(text.data(), text.data() + text.size(), &value, &errors) || !value.isObject()) {
    return false;
  }
  try {
    if (value["partitions"].asUInt() != kept.partitions || value["shards"].asUInt() != kept.count ||
        !value["address"].isString() || !value["node"].isString()) {
      return false;
    }
    out.name = value["node"].asString();
    out.address = value["address"].asString();
    out.shard = value["shard"].asUInt();
    out.ready = value["ready"].asBool();
    out.seq = value["seq"].asUInt64();
  } catch (const std::exception&) {
    return false;
  }
  return out.shard < kept.count;
}

}  // namespace

std::string registry_bucket(const std::string& stream) {
  std::string name;
  for (char c : stream) {
    name += plain_char(c) ? c : '_';
  }
  return name + "_NODES";
}

node_registry::node_registry(jetstream& connection, const stream_settings& settings,
                             std::string address)
    : stream(connection),
      node_name(settings.node),
      key(key_of(settings.node)),
      kept(settings.layout),
      own_address(std::move(address)),
      period(std::chrono::milliseconds(settings.registry_ttl_s * 1000 / 4)) {
  const std::string name = registry_bucket(settings.name);
  kvStore* raw = nullptr;
  natsStatus status = js_KeyValue(&raw, stream.context.get(), name.c_str());
  if (status != NATS_OK) {
    kvConfig config;
    kvConfig_Init(&config);
    config.Bucket = name.c_str();
    config.History = 1;
    config.TTL = static_cast<int64_t>(settings.registry_ttl_s) * 1000000000;  // nanoseconds
    config.Replicas = static_cast<int>(settings.replicas);
    config.StorageType = js_MemoryStorage;  // what it holds is refreshed every few seconds
    status = js_CreateKeyValue(&raw, stream.context.get(), &config);
    if (status != NATS_OK) {
      const std::string created = nats_status_text(status);
      // Another node may have made it meanwhile.
      status = js_KeyValue(&raw, stream.context.get(), name.c_str());
      if (status != NATS_OK) {
        throw stream_error("cannot make the node registry " + name + ": " + created);
      }
    }
  }
  if (status != NATS_OK) {
    throw stream_error("cannot open the node registry " + name + ": " + nats_status_text(status));
  }
  bucket.reset(raw);
}

node_registry::~node_registry() {
  stop();
}

void node_registry::start(own_state own) {
  state = std::move(own);
  std::string error;
  if (!put_own(error)) {
    log_event(log_error, "node registry: cannot put this node's entry: %s", error.c_str());
  }
  std::vector<cluster_node> read;
  if (read_map(read, error)) {
    annotated::mutex_lock lock(map_lock);
    map.swap(read);
  }
  refresher = std::thread([this] { run(); });
}

void node_registry::refresh_now() {
  annotated::mutex_lock lock(wake_lock);
  put_asked = true;
  wake.notify_one();
}

void node_registry::stop() {
  {
    annotated::mutex_lock lock(wake_lock);
    if (stopping) {
      return;
    }
    stopping = true;
    wake.notify_one();
  }
  if (refresher.joinable()) {
    refresher.join();
    kvStore_Delete(bucket.get(), key.c_str());
  }
}

void node_registry::run() {
  while (true) {
    {
      annotated::mutex_lock lock(wake_lock);
      lock.wait_for(wake, period, [this]() REQUIRES(wake_lock) { return stopping || put_asked; });
      if (stopping) {
        return;
      }
      put_asked = false;
    }
    std::string error;
    std::vector<cluster_node> read;
    const bool ok = put_own(error) && read_map(read, error);
    if (ok) {
      annotated::mutex_lock lock(map_lock);
      map.swap(read);
    }
    if (!ok && !last_failed) {
      log_event(log_error, "node registry: %s (the last map read stays in use)", error.c_str());
    } else if (ok && last_failed) {
      log_event(log_info, "node registry: refreshed again");
    }
    last_failed = !ok;
  }
}

bool node_registry::put_own(std::string& error) {
  Json::Value entry;
  entry["node"] = node_name;
  entry["address"] = own_address;
  entry["partitions"] = kept.partitions;
  entry["shards"] = kept.count;
  entry["shard"] = kept.index;
  entry["ready"] = state.ready ? state.ready() : false;
  entry["seq"] = static_cast<Json::UInt64>(state.applied ? state.applied() : 0);
  const std::string text = compact(entry);
  uint64_t revision = 0;
  const natsStatus status = kvStore_PutString(&revision, bucket.get(), key.c_str(), text.c_str());
  if (status != NATS_OK) {
    error = "cannot put this node's entry: " + nats_status_text(status);
    return false;
  }
  return true;
}

bool node_registry::read_map(std::vector<cluster_node>& out, std::string& error) {
  kvWatchOptions options;
  kvWatchOptions_Init(&options);
  options.Timeout = 2000;
  kvKeysList keys{};
  natsStatus status = kvStore_Keys(&keys, bucket.get(), &options);
  if (status == NATS_NOT_FOUND) {
    return true;  // no entry at all
  }
  if (status != NATS_OK) {
    error = "cannot list the nodes: " + nats_status_text(status);
    return false;
  }
  for (int i = 0; i < keys.Count; ++i) {
    kvEntry* raw = nullptr;
    if (kvStore_Get(&raw, bucket.get(), keys.Keys[i]) != NATS_OK) {
      continue;  // gone since the listing
    }
    const char* value = kvEntry_ValueString(raw);
    cluster_node node;
    if (value != nullptr && read_entry(value, kept, node)) {
      out.push_back(std::move(node));
    }
    kvEntry_Destroy(raw);
  }
  kvKeysList_Destroy(&keys);
  return true;
}

std::vector<cluster_node> node_registry::nodes() const {
  annotated::mutex_lock lock(map_lock);
  return map;
}

std::vector<cluster_node> node_registry::ready_nodes(std::uint32_t shard) const {
  std::vector<cluster_node> ready;
  annotated::mutex_lock lock(map_lock);
  for (const cluster_node& node : map) {
    if (node.shard == shard && node.ready) {
      ready.push_back(node);
    }
  }
  return ready;
}
