from collections.abc import Iterator
from typing import Any, Literal, overload

class ChatError(Exception):
    """A failed response of the chat service (status 400 or more)."""

    message: str
    """The service's error text; also the exception's string form."""
    code: str | None
    """The service's error code, when it gave one."""
    status_code: int | None
    """The HTTP status of the failed response."""

    def __init__(
        self, message: str, code: str | None = None, status_code: int | None = None
    ) -> None: ...

class Chat:
    """Client of an OpenAI-compatible chat service whose addresses come from the kit's web API.

    Nothing is sent before the first `chat` or `models` call. `timeout` is in
    whole seconds and applies to every request.
    """

    def __init__(
        self,
        api_base: str | None = None,
        model: str = "qwen-turbo",
        system_prompt: str | None = None,
        timeout: int = 60,
    ) -> None: ...
    @overload
    def chat(
        self,
        messages: list[dict[str, Any]],
        model: str | None = None,
        stream: Literal[False] = False,
        session_id: str | None = None,
        temperature: float | None = None,
        max_tokens: int | None = None,
    ) -> str:
        """The whole answer text. Raises ChatError for a failed response."""

    @overload
    def chat(
        self,
        messages: list[dict[str, Any]],
        model: str | None,
        stream: Literal[True],
        session_id: str | None = None,
        temperature: float | None = None,
        max_tokens: int | None = None,
    ) -> Iterator[str]:
        """The answer's pieces as they arrive; the request is sent when the first is asked for."""

    @overload
    def chat(
        self,
        messages: list[dict[str, Any]],
        model: str | None = None,
        *,
        stream: Literal[True],
        session_id: str | None = None,
        temperature: float | None = None,
        max_tokens: int | None = None,
    ) -> Iterator[str]:
        """The answer's pieces as they arrive; the request is sent when the first is asked for."""

    @overload
    def chat(
        self,
        messages: list[dict[str, Any]],
        model: str | None = None,
        stream: bool = False,
        session_id: str | None = None,
        temperature: float | None = None,
        max_tokens: int | None = None,
    ) -> str | Iterator[str]: ...
    def models(self) -> list[str]:
        """The ids of the models the service offers, in its order."""
