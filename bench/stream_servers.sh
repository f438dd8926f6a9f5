# Sourced by the stream benchmarks. start_stream_servers COUNT DIR PORT_BASE starts COUNT
# nats-server processes with the stream feature on (clustered when more than one) on loopback:
# server i listens for clients on PORT_BASE+i and for its peers on PORT_BASE+2000+i, stores
# under DIR/sI and writes DIR/sI.conf and DIR/sI.log. Appends their pids to the caller's `pids`
# array, sets `servers` to their urls (comma-separated) and waits for the meta leader's election.
start_stream_servers() {
  local count=$1 base_dir=$2 port_base=$3 i j
  servers=""
  for i in $(seq 1 "$count"); do
    local port=$((port_base + i)) route=$((port_base + 2000 + i))
    {
      echo "server_name: s$i"
      echo "listen: 127.0.0.1:$port"
      echo "jetstream { store_dir: \"$base_dir/s$i\" }"
      if [ "$count" -gt 1 ]; then
        echo "cluster { name: bench, listen: 127.0.0.1:$route, routes: ["
        for j in $(seq 1 "$count"); do
          [ "$j" != "$i" ] && echo "  nats://127.0.0.1:$((port_base + 2000 + j))"
        done
        echo "] }"
      fi
    } > "$base_dir/s$i.conf"
    nats-server -c "$base_dir/s$i.conf" > "$base_dir/s$i.log" 2>&1 &
    pids+=($!)
    servers="${servers:+$servers,}nats://127.0.0.1:$port"
  done
  sleep 3  # the servers elect their meta leader
}
