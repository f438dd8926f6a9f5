#include "stream/jetstream.h"

#include <thread>
#include <vector>

#include "support/log.h"

namespace {

std::string describe(natsStatus status) {
  std::string text = natsStatus_GetText(status);
  const char* detail = nats_GetLastError(nullptr);
  if (detail != nullptr && *detail != '\0' && text != detail) {
    text += std::string(" (") + detail + ")";
  }
  return text;
}

std::string server_list(const stream_settings& settings) {
  std::string out;
  for (const std::string& server : settings.servers) {
    out += (out.empty() ? "" : ",") + server;
  }
  return out;
}

constexpr std::int64_t nanoseconds_per_hour = 3600LL * 1000 * 1000 * 1000;

stream_state state_of(const jsStreamInfo& info) {
  stream_state out;
  out.first_seq = info.State.FirstSeq;
  out.last_seq = info.State.LastSeq;
  out.messages = info.State.Msgs;
  return out;
}

// The body and the part headers of a message read from the stream.
void read_content(natsMsg* message, stream_message& out) {
  const char* data = natsMsg_GetData(message);
  out.body.assign(data == nullptr ? "" : data,
                  static_cast<std::size_t>(natsMsg_GetDataLength(message)));
  const char* value = nullptr;
  out.part = natsMsgHeader_Get(message, part_header, &value) == NATS_OK;
  value = nullptr;
  out.parts.clear();
  if (natsMsgHeader_Get(message, parts_header, &value) == NATS_OK && value != nullptr) {
    out.parts = value;
  }
}

nats_raii::ptr<natsOptions> connection_options(const stream_settings& settings) {
  natsOptions* raw = nullptr;
  if (natsOptions_Create(&raw) != NATS_OK) {
    throw stream_error("cannot create the stream client's options");
  }
  nats_raii::ptr<natsOptions> options(raw);
  std::vector<const char*> urls;
  for (const std::string& server : settings.servers) {
    urls.push_back(server.c_str());
  }
  natsStatus status =
      natsOptions_SetServers(options.get(), urls.data(), static_cast<int>(urls.size()));
  if (status == NATS_OK)
    status = natsOptions_SetName(options.get(), settings.node.c_str());
  // Reconnect for as long as the node runs; the consumer and the front door cope meanwhile.
  if (status == NATS_OK)
    status = natsOptions_SetMaxReconnect(options.get(), -1);
  if (status == NATS_OK)
    status = natsOptions_SetReconnectWait(options.get(), 250);
  if (status == NATS_OK)
    status = natsOptions_SetTimeout(options.get(), 2000);
  // Nothing is buffered while disconnected: a publish then fails at once and is answered so.
  if (status == NATS_OK)
    status = natsOptions_SetReconnectBufSize(options.get(), 0);
  if (status != NATS_OK) {
    throw stream_error("cannot set the stream client's options: " + describe(status));
  }
  return options;
}

}  // namespace

std::string nats_status_text(natsStatus status) {
  return describe(status);
}

jetstream::jetstream(const stream_settings& settings, ack_callback on_ack)
    : config(settings), ack_handler(std::move(on_ack)) {
  const nats_raii::ptr<natsOptions> options = connection_options(config);
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(config.connect_timeout_s);
  natsStatus status = NATS_OK;
  while (true) {
    natsConnection* raw = nullptr;
    status = natsConnection_Connect(&raw, options.get());
    if (status == NATS_OK) {
      connection.reset(raw);
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      throw stream_error("cannot reach the stream servers " + server_list(config) + " within " +
                         std::to_string(config.connect_timeout_s) + " s: " + describe(status));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
  }
  jsOptions js_options;
  jsOptions_Init(&js_options);
  js_options.Wait = 5000;
  js_options.PublishAsync.AckHandler = &jetstream::on_publish_ack;
  js_options.PublishAsync.AckHandlerClosure = this;
  js_options.PublishAsync.MaxPending = 65536;
  jsCtx* raw_context = nullptr;
  status = natsConnection_JetStream(&raw_context, connection.get(), &js_options);
  if (status != NATS_OK) {
    throw stream_error("cannot open the stream context: " + describe(status));
  }
  context.reset(raw_context);
}

jetstream::~jetstream() {
  if (connection) {
    natsConnection_Close(connection.get());  // ends the library's callbacks for it
  }
  context.reset();
  connection.reset();
}

void jetstream::close() {
  natsConnection_Close(connection.get());
}

bool jetstream::connected() const {
  return connection && natsConnection_Status(connection.get()) == NATS_CONN_STATUS_CONNECTED;
}

stream_state jetstream::state(std::chrono::milliseconds wait) {
  jsOptions options;
  jsOptions_Init(&options);
  options.Wait = wait.count();
  jsStreamInfo* raw = nullptr;
  jsErrCode code = static_cast<jsErrCode>(0);
  const natsStatus status = js_GetStreamInfo(&raw, context.get(), config.name.c_str(),
                                             wait.count() > 0 ? &options : nullptr, &code);
  if (status != NATS_OK) {
    throw stream_error("cannot read the state of stream " + config.name + ": " + describe(status));
  }
  const nats_raii::ptr<jsStreamInfo> info(raw);
  return state_of(*info);
}

bool jetstream::get_message(std::uint64_t from, stream_message& out,
                            std::chrono::milliseconds wait) {
  jsOptions options;
  jsOptions_Init(&options);
  options.Wait = wait.count();
  natsMsg* raw = nullptr;
  jsErrCode code = static_cast<jsErrCode>(0);
  natsStatus status = NATS_OK;
  if (direct) {
    const std::string subjects = config.stream_subjects();
    jsDirectGetMsgOptions which;
    jsDirectGetMsgOptions_Init(&which);
    which.Sequence = from;
    which.NextBySubject = subjects.c_str();
    status = js_DirectGetMsg(&raw, context.get(), config.name.c_str(), &options, &which);
  } else {
    status = js_GetMsg(&raw, context.get(), config.name.c_str(), from, &options, &code);
  }
  const nats_raii::ptr<natsMsg> message(raw);
  if (status == NATS_NOT_FOUND || code == JSNoMessageFoundErr) {
    return false;
  }
  if (status != NATS_OK || !message) {
    throw stream_error("cannot get message " + std::to_string(from) + " of stream " + config.name +
                       ": " + describe(status));
  }
  out.seq = natsMsg_GetSequence(message.get());
  out.stored_ns = natsMsg_GetTime(message.get());
  out.pending = 0;
  read_content(message.get(), out);
  return true;
}

bool jetstream::find_state(stream_state& out) {
  jsStreamInfo* raw = nullptr;
  jsErrCode code = static_cast<jsErrCode>(0);
  const natsStatus status =
      js_GetStreamInfo(&raw, context.get(), config.name.c_str(), nullptr, &code);
  if (status == NATS_NOT_FOUND) {
    return false;
  }
  if (status != NATS_OK) {
    throw stream_error("cannot read the state of stream " + config.name + ": " + describe(status));
  }
  const nats_raii::ptr<jsStreamInfo> info(raw);
  out = state_of(*info);
  return true;
}

stream_state jetstream::ensure_stream() {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(config.connect_timeout_s);
  bool warned = false;
  for (;;) {
    stream_state state;
    std::string failure;
    if (try_ensure_stream(state, failure)) {
      return state;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      throw stream_error(failure);
    }
    if (!warned) {
      log_event(log_warning, "%s; trying again for up to %u s", failure.c_str(),
                config.connect_timeout_s);
      warned = true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
  }
}

bool jetstream::try_ensure_stream(stream_state& out, std::string& failure) {
  // A cluster electing a leader, or without a quorum yet, answers late or not at all; one that
  // is still forming has not met all its peers and cannot place a stream's replicas yet.
  // Some servers answer a placement that cannot be made yet as a generic creation error whose
  // text alone says why, so the text is read as well as the code.
  auto not_ready_yet = [&failure](natsStatus status, jsErrCode code) {
    return status == NATS_TIMEOUT || status == NATS_NO_RESPONDERS || code == JSClusterNotAvailErr ||
           code == JSClusterNoPeersErr || failure.find("no suitable peers") != std::string::npos;
  };
  jsStreamInfo* raw = nullptr;
  jsErrCode code = static_cast<jsErrCode>(0);
  natsStatus status = js_GetStreamInfo(&raw, context.get(), config.name.c_str(), nullptr, &code);
  const std::string subjects = config.stream_subjects();
  if (status == NATS_OK) {
    const nats_raii::ptr<jsStreamInfo> info(raw);
    bool holds_subjects = false;
    for (int i = 0; i < info->Config->SubjectsLen; ++i) {
      holds_subjects = holds_subjects || subjects == info->Config->Subjects[i];
    }
    if (!holds_subjects) {
      throw stream_error("stream " + config.name + " exists but does not hold the subjects " +
                         subjects);
    }
    direct = info->Config->AllowDirect;
    if (!direct) {
      log_event(log_warning,
                "stream %s does not allow direct gets: while the stream servers elect the leader "
                "of their metadata, a node whose reader has stopped waits for the election; "
                "set allow_direct on the stream with the server's tools",
                config.name.c_str());
    }
    if (info->Config->Replicas != static_cast<std::int64_t>(config.replicas) ||
        info->Config->MaxAge != config.max_age_hours * nanoseconds_per_hour) {
      log_event(log_warning,
                "stream %s exists with %lld replicas and a retention of %lld h; the settings say "
                "%u and %u, which apply only when norvel creates it",
                config.name.c_str(), static_cast<long long>(info->Config->Replicas),
                static_cast<long long>(info->Config->MaxAge / nanoseconds_per_hour),
                config.replicas, config.max_age_hours);
    }
    out = state_of(*info);
    return true;
  }
  if (status != NATS_NOT_FOUND) {
    failure = "cannot look up stream " + config.name + ": " + describe(status);
    if (not_ready_yet(status, code)) {
      return false;
    }
    throw stream_error(failure);
  }
  jsStreamConfig wanted;
  jsStreamConfig_Init(&wanted);
  const char* subject_list[] = {subjects.c_str()};
  wanted.Name = config.name.c_str();
  wanted.Subjects = subject_list;
  wanted.SubjectsLen = 1;
  wanted.Storage = js_FileStorage;
  wanted.Replicas = config.replicas;
  wanted.MaxAge = config.max_age_hours * nanoseconds_per_hour;
  // Any server holding the stream answers a get by sequence, with no consumer and no metadata
  // leader involved: what a node reads while its reader is made again.
  wanted.AllowDirect = true;
  raw = nullptr;
  code = static_cast<jsErrCode>(0);
  status = js_AddStream(&raw, context.get(), &wanted, nullptr, &code);
  if (status != NATS_OK) {
    // A create that timed out may still have been made: the next attempt looks it up first.
    failure = "cannot create stream " + config.name + ": " + describe(status);
    if (not_ready_yet(status, code)) {
      return false;
    }
    // Another node starting on the same empty site may have made it a moment before (the
    // servers then say the name is in use, or that its subjects overlap ours): the next attempt
    // finds it. A stream of another name holding our subjects is still a fault at once.
    jsStreamInfo* made = nullptr;
    if (js_GetStreamInfo(&made, context.get(), config.name.c_str(), nullptr, nullptr) == NATS_OK) {
      jsStreamInfo_Destroy(made);
      return false;
    }
    throw stream_error(failure);
  }
  const nats_raii::ptr<jsStreamInfo> info(raw);
  direct = info->Config->AllowDirect;
  log_event(log_info, "created stream %s (subjects %s, %u replicas, retention %u h)",
            config.name.c_str(), subjects.c_str(), config.replicas, config.max_age_hours);
  out = state_of(*info);
  return true;
}

nats_raii::ptr<natsMsg> jetstream::make_message(const std::string& subject, const std::string& body,
                                                const std::string& msg_id, std::string& error,
                                                const std::vector<message_header>& headers) {
  natsMsg* raw = nullptr;
  natsStatus status =
      natsMsg_Create(&raw, subject.c_str(), nullptr, body.data(), static_cast<int>(body.size()));
  nats_raii::ptr<natsMsg> message(raw);
  if (status == NATS_OK) {
    status = natsMsgHeader_Set(message.get(), "Nats-Msg-Id", msg_id.c_str());
  }
  for (const message_header& header : headers) {
    if (status == NATS_OK) {
      status = natsMsgHeader_Set(message.get(), header.first.c_str(), header.second.c_str());
    }
  }
  if (status != NATS_OK) {
    error = describe(status);
    message.reset();
  }
  return message;
}

publish_outcome jetstream::publish(const std::string& subject, const std::string& body,
                                   const std::string& msg_id, std::chrono::milliseconds timeout,
                                   const std::vector<message_header>& headers) {
  publish_outcome outcome;
  nats_raii::ptr<natsMsg> message = make_message(subject, body, msg_id, outcome.error, headers);
  if (!message) {
    return outcome;
  }
  jsPubOptions options;
  jsPubOptions_Init(&options);
  options.MaxWait = timeout.count();
  jsPubAck* raw_ack = nullptr;
  jsErrCode code = static_cast<jsErrCode>(0);
  const natsStatus status = js_PublishMsg(&raw_ack, context.get(), message.get(), &options, &code);
  const nats_raii::ptr<jsPubAck> ack(raw_ack);
  if (status != NATS_OK || !ack) {
    outcome.error = describe(status);
    return outcome;
  }
  outcome.ok = true;
  outcome.seq = ack->Sequence;
  outcome.duplicate = ack->Duplicate;
  return outcome;
}

std::int64_t jetstream::max_payload() const {
  return connection ? natsConnection_GetMaxPayload(connection.get()) : 0;
}

bool jetstream::publish_async(const std::string& subject, const std::string& body,
                              const std::string& msg_id, std::chrono::milliseconds timeout,
                              std::string& error, const std::vector<message_header>& headers) {
  if (!connected()) {
    error = "not connected to the stream";
    return false;
  }
  nats_raii::ptr<natsMsg> message = make_message(subject, body, msg_id, error, headers);
  if (!message) {
    return false;
  }
  jsPubOptions options;
  jsPubOptions_Init(&options);
  options.MaxWait = timeout.count();
  natsMsg* handed = message.release();
  // The library takes the message on success (and clears `handed`); on failure it stays ours.
  const natsStatus status = js_PublishMsgAsync(context.get(), &handed, &options);
  nats_raii::ptr<natsMsg> left(handed);
  if (status != NATS_OK) {
    error = describe(status);
    return false;
  }
  return true;
}

void jetstream::on_publish_ack(jsCtx*, natsMsg* msg, jsPubAck* ack, jsPubAckErr* failure,
                               void* closure) {
  const nats_raii::ptr<natsMsg> owned(msg);
  auto* self = static_cast<jetstream*>(closure);
  if (!self->ack_handler || msg == nullptr) {
    return;
  }
  const char* id = nullptr;
  if (natsMsgHeader_Get(msg, "Nats-Msg-Id", &id) != NATS_OK || id == nullptr) {
    return;
  }
  publish_outcome outcome;
  if (ack != nullptr) {
    outcome.ok = true;
    outcome.seq = ack->Sequence;
    outcome.duplicate = ack->Duplicate;
  } else if (failure != nullptr) {
    outcome.error = failure->ErrText != nullptr && *failure->ErrText != '\0'
                        ? std::string(failure->ErrText)
                        : std::string(natsStatus_GetText(failure->Err));
  } else {
    outcome.error = "no acknowledgement";
  }
  self->ack_handler(id, outcome);
}

ordered_reader::ordered_reader(jetstream& stream, std::uint64_t start_seq) {
  jsOptions js_options;
  jsOptions_Init(&js_options);
  jsSubOptions options;
  jsSubOptions_Init(&options);
  options.Stream = stream.config.name.c_str();
  options.Ordered = true;
  if (start_seq <= 1) {
    options.Config.DeliverPolicy = js_DeliverAll;
  } else {
    options.Config.DeliverPolicy = js_DeliverByStartSequence;
    options.Config.OptStartSeq = start_seq;
  }
  const std::string subjects = stream.config.stream_subjects();
  natsSubscription* raw = nullptr;
  jsErrCode code = static_cast<jsErrCode>(0);
  const natsStatus status =
      js_SubscribeSync(&raw, stream.context.get(), subjects.c_str(), &js_options, &options, &code);
  if (status != NATS_OK) {
    throw stream_error("cannot read stream " + stream.config.name + " from sequence " +
                       std::to_string(start_seq) + ": " + describe(status));
  }
  subscription.reset(raw);
  // Ample room: the reader stops taking messages when the workers are busy, and the stream's
  // flow control then holds the rest back on the server.
  natsSubscription_SetPendingLimits(subscription.get(), 1 << 20, 256 << 20);
}

ordered_reader::~ordered_reader() {
  if (subscription) {
    natsSubscription_Unsubscribe(subscription.get());
  }
}

bool ordered_reader::next(stream_message& out, std::chrono::milliseconds wait) {
  natsMsg* raw = nullptr;
  const natsStatus status =
      natsSubscription_NextMsg(&raw, subscription.get(), static_cast<std::int64_t>(wait.count()));
  if (status == NATS_TIMEOUT) {
    return false;
  }
  if (status != NATS_OK) {
    if (status == NATS_SLOW_CONSUMER) {
      return false;  // the ordered consumer starts again after what it delivered
    }
    throw stream_error(std::string("reading the stream failed: ") + describe(status));
  }
  const nats_raii::ptr<natsMsg> message(raw);
  jsMsgMetaData* raw_meta = nullptr;
  if (natsMsg_GetMetaData(&raw_meta, message.get()) != NATS_OK) {
    return false;  // not a stream message (a status the library did not take)
  }
  const nats_raii::ptr<jsMsgMetaData> meta(raw_meta);
  out.seq = meta->Sequence.Stream;
  out.stored_ns = meta->Timestamp;
  out.pending = meta->NumPending;
  read_content(message.get(), out);
  return true;
}
