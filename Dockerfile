# norvel in a container, on Debian 12. The container runs the daemon in the foreground (as the
# Type=notify unit does), its output goes to the container's log, its event log to a volume.
#   docker build -t norvel .
#   docker run -d --name norvel -p 10.0.0.5:5000:5000 -p 127.0.0.1:9105:9105 \
#     -v /etc/norvel/norvel.config.ini:/etc/norvel/norvel.config.ini:ro \
#     -v norvel-logs:/var/log/norvel norvel
# Publish the ports on private addresses only: norvel has no authentication (README.md).

FROM debian:12 AS build
RUN apt-get update && apt-get install -y --no-install-recommends \
      build-essential cmake pkg-config \
      libboost-dev libboost-system-dev libboost-thread-dev libboost-filesystem-dev \
      libboost-program-options-dev libjsoncpp-dev libmariadb-dev libsystemd-dev \
    && rm -rf /var/lib/apt/lists/*
WORKDIR /src
COPY . .
RUN cmake -S . -B /build -DCMAKE_BUILD_TYPE=Release -DNORVEL_BUILD_TESTS=OFF \
      -DNORVEL_BUILD_BENCH=OFF \
    && cmake --build /build -j "$(nproc)" --target norvel norvel-cli

FROM debian:12-slim
RUN apt-get update && apt-get install -y --no-install-recommends \
      libboost-system1.74.0 libboost-thread1.74.0 libboost-filesystem1.74.0 \
      libboost-program-options1.74.0 libjsoncpp25 libmariadb3 libsystemd0 \
    && rm -rf /var/lib/apt/lists/* \
    && useradd --system --no-create-home --shell /usr/sbin/nologin norvel \
    && install -d -o norvel -g norvel -m 750 /var/log/norvel
COPY --from=build /build/norvel /build/norvel-cli /usr/local/bin/
USER norvel
VOLUME /var/log/norvel
EXPOSE 5000 9105
# Inside the container it listens on every address; which of the host's it is reachable on is
# decided by the -p options above.
ENTRYPOINT ["/usr/local/bin/norvel", "--foreground", "--config", "/etc/norvel/norvel.config.ini", \
            "--log-dir", "/var/log/norvel"]
CMD ["--metrics", "0.0.0.0:9105"]
HEALTHCHECK --interval=30s --timeout=5s --start-period=30m \
  CMD ["/usr/local/bin/norvel-cli", "--timeout", "3", "{\"act\":\"none\"}"]
STOPSIGNAL SIGTERM
