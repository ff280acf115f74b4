"""Asynchronous iteration of a Live on an asyncio event loop."""
import asyncio
import gc
import threading

import pytest

import bramwex
from bramwex import Event
from live_helpers import async_until, eventually, held

pytestmark = pytest.mark.timeout(60)


@pytest.mark.asyncio
async def test_events_queued_before_the_first_anext_are_not_lost(tree_dir):
    with bramwex.live(tree_dir, interval=0.01) as live:
        while not live.follows_all():  # Ready is waiting in the queue
            await asyncio.sleep(0.01)
        await asyncio.wait_for(async_until(live, Event.Ready), 30)
    with pytest.raises(StopAsyncIteration):
        await live.__anext__()


@pytest.mark.parametrize("on_loop", [True, False])
def test_close_ends_a_pending_await_from_any_thread(tree_dir, on_loop):
    live = bramwex.live(tree_dir, interval=0.01)
    pending, ended = threading.Event(), threading.Event()

    async def wait():
        await async_until(live, Event.Ready)
        asyncio.get_running_loop().call_soon(live.close if on_loop else pending.set)
        with pytest.raises(StopAsyncIteration):
            await live.__anext__()  # pending when the callback runs
        ended.set()

    threading.Thread(target=asyncio.run, args=(wait(),), daemon=True).start()
    if not on_loop:
        assert pending.wait(30)
        live.close()
    assert ended.wait(30)


@pytest.mark.asyncio
async def test_close_ends_every_loop_over_it_async_or_blocking(tree_dir):
    live = bramwex.live(tree_dir, interval=0.01)
    await asyncio.wait_for(async_until(live, Event.Ready), 30)

    async def loop():
        return [event async for event in live]

    tasks = [asyncio.ensure_future(loop()) for _ in range(3)]
    threads = [threading.Thread(target=list, args=(live,)) for _ in range(3)]
    for thread in threads:
        thread.start()
    for _ in range(3):
        await asyncio.sleep(0)  # each task awaits its get()
    assert not any(task.done() for task in tasks)
    live.close()
    assert await asyncio.wait_for(asyncio.gather(*tasks), 10) == [[], [], []]
    for _ in range(2):
        with pytest.raises(StopAsyncIteration):
            await asyncio.wait_for(live.__anext__(), 10)
    for thread in threads:
        thread.join(10)
    assert not any(thread.is_alive() for thread in threads)


@pytest.mark.asyncio
async def test_a_cancelled_await_raises_and_the_next_one_works(tree_dir):
    with bramwex.live(tree_dir, interval=0.01) as live:
        await async_until(live, Event.Ready)
        task = asyncio.ensure_future(live.__anext__())
        await asyncio.sleep(0.05)
        assert task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        waiting = live.__anext__()
        waiting.send(None)  # get() waits for an event
        with pytest.raises(KeyError):
            waiting.throw(typ=KeyError, val=None, _tb=None)
        (tree_dir / "beta" / "new.bin").write_bytes(b"n" * 9000)
        changed = await asyncio.wait_for(async_until(live, Event.Changed), 30)
        assert tree_dir / "beta" in [path for path, _ in changed.changes]


def test_an_error_item_is_raised_by_one_await_and_anext_needs_a_running_loop(tmp_path):
    async def twice(live):
        with pytest.raises(FileNotFoundError):
            await live.__anext__()
        with pytest.raises(StopAsyncIteration):
            await live.__anext__()

    with bramwex.live(tmp_path / "missing") as live:
        with pytest.raises(RuntimeError):
            live.__anext__()  # binds nothing: the loop below still can
        asyncio.run(twice(live))


@pytest.mark.parametrize("closed", ["no", "in the loop", "after it"])
def test_an_async_bound_live_dropped_is_collected_with_its_thread(tree_dir, closed):
    before = held()[0]

    async def bind():
        live = bramwex.live(tree_dir, interval=0.001)
        await live.__anext__()
        if closed == "in the loop":
            live.close()
        return live

    live = asyncio.run(bind())  # the loop is closed while the live thread may still wake it
    if closed == "after it":
        live.close()  # nothing waits, and nothing raises
    del live  # the live thread may hold it a moment longer, while it wakes the closed loop

    def collected():
        gc.collect()
        return not [o for o in gc.get_objects() if type(o) is bramwex.Live]

    assert eventually(collected), "the Live is never collected"
    assert eventually(lambda: held()[0] <= before), "the live thread is left running"
