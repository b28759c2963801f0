"""Load clients for the host's benchmarks, on kept-alive connections.

  clients.py loop PORT PATH QUERY COUNT
      COUNT connections, each asking for PATH?QUERY again as soon as its
      answer is in, until killed; prints "running" once all are connected.
  clients.py every PORT PATH QUERY MS SECONDS
      one connection asking for PATH?QUERY every MS milliseconds for SECONDS;
      prints the answers, their statuses and the 50th and 99th percentile
      latency.
"""
import socket
import sys
import threading
import time


def connect(port):
    sock = socket.create_connection(("127.0.0.1", port))
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return sock


def exchange(sock, request, pending):
    """Sends request and reads one answer; returns (status, rest of the bytes)."""
    sock.sendall(request)
    data = pending
    while b"\r\n\r\n" not in data:
        chunk = sock.recv(65536)
        if not chunk:
            raise ConnectionError("closed")
        data += chunk
    head, _, rest = data.partition(b"\r\n\r\n")
    length = 0
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            length = int(value)
    while len(rest) < length:
        chunk = sock.recv(65536)
        if not chunk:
            raise ConnectionError("closed")
        rest += chunk
    return int(head.split(b" ")[1]), rest[length:]


def request_for(path, query):
    return f"GET {path}?{query} HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n".encode()


def loop(port, path, query, count):
    request = request_for(path, query)
    socks = [connect(port) for _ in range(count)]

    def run(sock):
        pending = b""
        while True:
            try:
                _, pending = exchange(sock, request, pending)
            except OSError:
                sock.close()
                sock = connect(port)
                pending = b""

    for sock in socks:
        threading.Thread(target=run, args=(sock,), daemon=True).start()
    print("running", flush=True)
    while True:
        time.sleep(3600)


def every(port, path, query, interval_ms, seconds):
    request = request_for(path, query)
    sock = connect(port)
    pending = b""
    latencies = []
    statuses = {}
    end = time.monotonic() + seconds
    next_at = time.monotonic()
    while time.monotonic() < end:
        start = time.monotonic()
        try:
            status, pending = exchange(sock, request, pending)
        except OSError:
            status, pending = 0, b""
            sock = connect(port)
        latencies.append(time.monotonic() - start)
        statuses[status] = statuses.get(status, 0) + 1
        next_at += interval_ms / 1000
        time.sleep(max(0, next_at - time.monotonic()))
    latencies.sort()
    p50 = latencies[len(latencies) // 2]
    p99 = latencies[min(len(latencies) - 1, int(len(latencies) * 0.99))]
    print(f"{len(latencies)} answers, statuses {dict(sorted(statuses.items()))}, "
          f"p50 {p50 * 1000:.1f} ms, p99 {p99 * 1000:.1f} ms, max {latencies[-1] * 1000:.1f} ms")


if __name__ == "__main__":
    if sys.argv[1] == "loop":
        loop(int(sys.argv[2]), sys.argv[3], sys.argv[4], int(sys.argv[5]))
    else:
        every(int(sys.argv[2]), sys.argv[3], sys.argv[4], int(sys.argv[5]), float(sys.argv[6]))
