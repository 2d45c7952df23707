"""An embedded JSON document database: a directory of JSON files, queried in memory."""

from typing import Any, Dict, List, Literal, Optional, Union, final, overload

__all__ = ["Tovra"]

# The values a document can hold, as find returns them. These aliases exist only for type
# checkers (the module defines nothing but Tovra); import them under `if TYPE_CHECKING:`.
_JsonValue = Union[None, bool, int, float, str, List["_JsonValue"], Dict[str, "_JsonValue"]]

# Documents and queries are typed with Any values so that ordinary dict literals of mixed
# values, and variables holding them, are accepted as they are; the container itself must be a
# dict (a Mapping that is not a dict is refused at run time).
_Document = Dict[str, Any]
_Query = Dict[str, Any]

@final
class Tovra:
    """An open database: a directory whose `*.json` files are its collections.

    Every collection is held in memory; `insert` and `update` change memory only, and
    `write` or `write_all` save collections (each by an atomic file replacement). Filtered
    `find` results are cached as snapshots until `update` or `clear_cache`. Results are
    always new lists and dicts.

    A query the parser rejects (an unknown operator such as `$in`, `None` as a plain value)
    raises `PanicException`, which derives from `BaseException`, not `Exception`.
    """

    def __new__(cls, name: str) -> Tovra:
        """Open the directory `name`, creating it when missing, and load its `*.json` files.

        Raises `ValueError` when a collection file is not valid JSON, and `OSError` when
        `name` exists but cannot be listed (a regular file, say).
        """

    def create_collection(self, collection_name: str) -> None:
        """Write the file of a new, empty collection; does nothing when the file exists."""

    def insert(self, collection_name: str, document: _Document) -> None:
        """Append one document to the collection (created in memory when missing).

        Values may be `None`, `bool`, `int` (up to 64 bits), `float`, `str`, lists, tuples and
        dicts with `str` keys; anything else raises `TypeError` and nothing is stored.
        """

    def insert_many(self, collection_name: str, documents: List[_Document]) -> None:
        """Append every document of a list, in order; nothing is stored when one fails."""

    def find(
        self, collection_name: str, maybe_query: Optional[_Query] = None
    ) -> List[Dict[str, Any]]:
        """Return copies of the documents, in insertion order, that pass the filter.

        Without a filter every document is returned. A filter such as
        `{"age": {"$gte": 30}, "address.city": "Oslo"}` passes documents for which every
        entry holds; its result is cached until `update` or `clear_cache`. Raises
        `ValueError` when the collection does not exist.
        """

    @overload
    def update(
        self,
        collection_name: str,
        update_query: _Query,
        maybe_query: Optional[_Query] = None,
        return_result: Literal[False] = False,
    ) -> None:
        """Change, in memory, the documents that pass `maybe_query` (all when it is None).

        `update_query` maps fields to a new value or an operator: `$set`, `$add`,
        `$substract`, `$inc`, `$dec`, `$delete`. Fields are never added; arithmetic stores
        floats. With `return_result=True` the whole collection is returned after the change.
        Each update entry prints two diagnostic lines on standard output.
        """

    @overload
    def update(
        self,
        collection_name: str,
        update_query: _Query,
        maybe_query: Optional[_Query] = None,
        *,
        return_result: Literal[True],
    ) -> List[Dict[str, Any]]: ...
    @overload
    def update(
        self,
        collection_name: str,
        update_query: _Query,
        maybe_query: Optional[_Query],
        return_result: Literal[True],
    ) -> List[Dict[str, Any]]: ...
    @overload
    def update(
        self,
        collection_name: str,
        update_query: _Query,
        maybe_query: Optional[_Query] = None,
        return_result: bool = False,
    ) -> Optional[List[Dict[str, Any]]]: ...
    def collections(self) -> List[str]:
        """Return the names of the collection files in the directory."""

    def drop_collection(self, collection_name: str) -> None:
        """Remove the collection's file and the collection from memory."""

    def drop_all(self) -> None:
        """Remove every collection file, then the directory when it is left empty."""

    def write(self, collection_name: str) -> None:
        """Save the collection as a JSON array, atomically and durably.

        On failure the file is left as it was and the error is raised.
        """

    def write_all(self) -> None:
        """Save every collection in memory; raises the first failure after trying them all."""

    def load_from_document(self, document_path: str) -> None:
        """Read a JSON object from a file and insert each member into the collection of its key."""

    def insert_many_from_document(self, collection_name: str, document_name: str) -> None:
        """Read a JSON array from a file and insert its elements into the collection."""

    def clear_cache(self) -> None:
        """Forget every cached `find` result."""
