#!/usr/bin/env python3
"""A TCP relay that holds every byte back for a fixed time in each direction.

    bench/delay_relay.py LISTEN_PORT TARGET_PORT ONE_WAY_MS

Listens on 127.0.0.1:LISTEN_PORT and relays each connection to
127.0.0.1:TARGET_PORT; what is read on either side is written to the other
ONE_WAY_MS later, in order, with no limit on how much is in flight: a
network with that round trip (twice ONE_WAY_MS) and ample bandwidth. Prints
"ready" once it listens. The bench's network section puts it between sshfs
and sftp-server.
"""
import asyncio
import sys


async def carry(reader, writer, delay):
    """Copies reader to writer, each chunk delay seconds after it was read."""
    loop = asyncio.get_running_loop()
    queue = asyncio.Queue()

    async def deliver():
        while True:
            due, data = await queue.get()
            wait = due - loop.time()
            if wait > 0:
                await asyncio.sleep(wait)
            if not data:
                writer.close()
                return
            writer.write(data)
            await writer.drain()

    delivering = asyncio.create_task(deliver())
    while True:
        try:
            data = await reader.read(1 << 16)
        except ConnectionError:
            data = b""
        queue.put_nowait((loop.time() + delay, data))
        if not data:
            break
    try:
        await delivering
    except ConnectionError:
        pass


async def main():
    listen_port, target_port, one_way_ms = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3])
    delay = one_way_ms / 1000.0

    async def relay(client_reader, client_writer):
        server_reader, server_writer = await asyncio.open_connection("127.0.0.1", target_port)
        await asyncio.gather(carry(client_reader, server_writer, delay), carry(server_reader, client_writer, delay))

    server = await asyncio.start_server(relay, "127.0.0.1", listen_port)
    print("ready", flush=True)
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    asyncio.run(main())
