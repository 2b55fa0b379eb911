#!/usr/bin/env python3
"""A TCP proxy that holds every chunk DELAY milliseconds in each direction, in order.

  delay_proxy.py --listen PORT --to PORT [--delay-ms 1] [--mbit RATE] [--ready FILE]

Listens on 127.0.0.1:PORT and forwards each connection to 127.0.0.1:TO. Both sockets have
TCP_NODELAY, so a request is held for the delay and then sent at once; a round trip
through the proxy costs twice the delay on top of the loopback's own. Threads with
time.sleep rather than asyncio: the event loop rounds its timeouts up to whole
milliseconds, which would double a 1 ms delay. FILE is written once the port listens.
With --mbit each direction is a link of that many megabits per second: a chunk leaves once
the chunks before it have gone through, after its own length at that rate, and arrives the
delay later (0, the default, is no limit).
"""

import argparse
import collections
import socket
import sys
import threading
import time

CHUNK = 256 * 1024


def nodelay(sock):
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)


def pump(src, dst, delay, rate):
    """Reads from src, and hands each chunk to dst once it has been held `delay` seconds
    (and, with a rate, once the link has sent it)."""
    queue = collections.deque()
    cond = threading.Condition()
    done = [False]
    link_free = [0.0]  # when the link has sent everything queued so far

    def writer():
        # Everything due by the time it wakes goes in one send: a sleep per chunk would
        # limit the chunks per second, which no link does.
        while True:
            with cond:
                while not queue and not done[0]:
                    cond.wait()
                if not queue:
                    break
                due = queue[0][0]
            wait = due - time.monotonic()
            if wait > 0:
                time.sleep(wait)
            with cond:
                now = time.monotonic()
                batch = []
                while queue and queue[0][0] <= now:
                    batch.append(queue.popleft()[1])
            try:
                dst.sendall(b"".join(batch))
            except OSError:
                break
        try:
            dst.shutdown(socket.SHUT_WR)
        except OSError:
            pass

    t = threading.Thread(target=writer, daemon=True)
    t.start()
    try:
        while True:
            data = src.recv(CHUNK)
            if not data:
                break
            with cond:
                now = time.monotonic()
                if rate > 0:
                    link_free[0] = max(now, link_free[0]) + len(data) * 8 / rate
                    now = link_free[0]
                queue.append((now + delay, data))
                cond.notify()
    except OSError:
        pass
    with cond:
        done[0] = True
        cond.notify()
    t.join()


def serve(conn, to_port, delay, rate):
    try:
        up = socket.create_connection(("127.0.0.1", to_port))
    except OSError:
        conn.close()
        return
    nodelay(conn)
    nodelay(up)
    back = threading.Thread(target=pump, args=(up, conn, delay, rate), daemon=True)
    back.start()
    pump(conn, up, delay, rate)
    back.join()
    conn.close()
    up.close()


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--listen", type=int, required=True)
    ap.add_argument("--to", type=int, required=True)
    ap.add_argument("--delay-ms", type=float, default=1.0)
    ap.add_argument("--mbit", type=float, default=0.0)
    ap.add_argument("--ready")
    a = ap.parse_args()
    srv = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    srv.bind(("127.0.0.1", a.listen))
    srv.listen(16)
    if a.ready:
        with open(a.ready, "w") as f:
            f.write(f"{a.listen}\n")
    while True:
        conn, _ = srv.accept()
        threading.Thread(target=serve, args=(conn, a.to, a.delay_ms / 1000.0, a.mbit * 1e6), daemon=True).start()


if __name__ == "__main__":
    sys.exit(main() or 0)
