"""Imported ahead by the fork server of local `zelnor batch` workers. On Ctrl-C the command keeps what is
done and cancels the rest: the workers forked from the server do not log the cancellations they are sent as
warnings."""
import logging


def _not_a_cancellation(record):
    return "ended with CancelledError" not in record.getMessage()


logging.getLogger("distributed.worker.state_machine").addFilter(_not_a_cancellation)
