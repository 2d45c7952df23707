"""Calls a type checker must judge: lines marked `# E:` must be rejected, all others accepted.

This file is only type-checked, never run.
"""

from typing import Any, Dict, List, Optional

from tovra import PanicException  # E: not a module attribute
from tovra import Tovra

db = Tovra("data")
Tovra(name="data")
Tovra(42)  # E: the directory name is a str
Tovra()  # E: name is required

# Ordinary documents: mixed literals, and variables holding them, need no casts.
person = {"name": "Ada", "age": 36, "tags": ["math"], "address": {"city": "London"}}
db.insert("people", person)
db.insert("people", {"name": "Grace", "age": 45.5, "retired": True, "boss": None})
batch = [person, {"name": "Linus", "age": 28}]
db.insert_many("people", batch)
db.insert_many("people", [{"name": "Barbara"}, {"scores": (1, 2.5)}])
db.insert("people", [person])  # E: a document is a dict
db.insert_many("people", (person,))  # E: documents must be a list, not a tuple
db.insert_many("people", person)  # E: a single dict is not a list of documents
db.insert(7, person)  # E: collection names are str
db.insert("people", {1: "one"})  # E: keys are str

rows: List[Dict[str, Any]] = db.find("people")
rows = db.find("people", {"age": {"$gte": 30}, "address.city": "London"})
rows = db.find("people", maybe_query=None)
name: str = rows[0]["name"]
db.find("people", [("age", 30)])  # E: a filter is a dict
db.find("people", {"age": 30}, True)  # E: find takes one filter
count: int = db.find("people")  # E: find returns a list

# update: the result type follows return_result.
nothing: None = db.update("people", {"age": {"$inc": 1}}, {"name": "Ada"})
after: List[Dict[str, Any]] = db.update("people", {"age": 1}, return_result=True)
after = db.update("people", {"age": 1}, {"name": "Ada"}, True)
maybe: Optional[List[Dict[str, Any]]] = db.update("people", {"age": 1}, return_result=bool(name))
lost: List[Dict[str, Any]] = db.update("people", {"age": 1})  # E: returns None
unsure: List[Dict[str, Any]] = db.update("c", {"a": 1}, return_result=bool(name))  # E: Optional
db.update("people", {"age": 1}, return_result=None)  # E: return_result is a bool
db.update("people", {"age": 1}, return_result=1)  # E: not even an int
db.update("people", ["age"])  # E: an update is a dict
db.update("people", {"age": 1}, upsert=True)  # E: no such parameter

names: List[str] = db.collections()
db.collections("people")  # E: takes no arguments
db.write("people")
db.write_all()
db.write()  # E: the collection name is required
db.drop_collection("people")
db.drop_all()
db.clear_cache()
db.load_from_document("export.json")
db.insert_many_from_document("people", "more.json")
db.load_from_document(b"export.json")  # E: paths are str, not bytes
db.save("people")  # E: no such method
db.path  # E: the object exposes no attributes


class MyDb(Tovra):  # E: the class cannot be subclassed
    pass
