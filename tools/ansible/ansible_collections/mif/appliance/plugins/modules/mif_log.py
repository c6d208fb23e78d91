#!/usr/bin/python
# Fetching a service log to the controller.

DOCUMENTATION = r'''
module: mif_log
short_description: Fetches an appliance's service log to the controller
description:
  - Downloads one of the six service logs (or a rotated copy) next to I(dest) and puts it in place only when it
    differs from what I(dest) holds; C(changed) only then.
  - Check mode downloads and compares, and leaves I(dest) as it is.
extends_documentation_fragment: mif.appliance.connection
options:
  name:
    description: The log.
    type: str
    required: true
    choices: [bb, events, errors, eventlist, repaevents, matrix]
  dest:
    description: The file on the controller; its directory must exist.
    type: path
    required: true
  rotated:
    description: Fetch the rotated copy with this number (e.g. 1 for C(Events.log.1)); 0 the log itself.
    type: int
    default: 0
'''

EXAMPLES = r'''
- name: Keep the repair events of every appliance
  mif.appliance.mif_log:
    host: "{{ mif_host }}"
    role: service
    name: repaevents
    dest: "logs/{{ inventory_hostname }}-RepaEvents.log"
'''

RETURN = r'''
answer:
  description: The daemon's answer (ACK, or the NAK text).
  returned: always
  type: str
dest:
  description: The local file.
  returned: success
  type: str
size:
  description: The size of the log in bytes.
  returned: success
  type: int
'''

import filecmp
import os
import tempfile

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.mif.appliance.plugins.module_utils.mif_common import argument_spec, run_module


def fetch(module, session):
    p = module.params
    dest = p["dest"]
    directory = os.path.dirname(os.path.abspath(dest))
    if not os.path.isdir(directory):
        module.fail_json(msg=f"{directory} is not a directory")
    handle, fresh = tempfile.mkstemp(prefix=".mif_log.", dir=directory)
    os.close(handle)
    try:
        answer = session.get_log(p["name"], fresh, rotated=p["rotated"])
        if answer.nak:
            module.fail_json(msg=f"{answer.command}: {answer.text}", answer=answer.text)
        size = os.path.getsize(fresh)
        same = os.path.isfile(dest) and filecmp.cmp(fresh, dest, shallow=False)
        if not same and not module.check_mode:
            os.chmod(fresh, 0o644)
            os.replace(fresh, dest)
        return dict(changed=not same, answer=answer.text, dest=dest, size=size)
    finally:
        if os.path.exists(fresh):
            os.unlink(fresh)


def main():
    module = AnsibleModule(argument_spec=argument_spec(
        name=dict(type="str", required=True, choices=["bb", "events", "errors", "eventlist", "repaevents", "matrix"]),
        dest=dict(type="path", required=True), rotated=dict(type="int", default=0)),
        supports_check_mode=True)
    run_module(module, fetch)


if __name__ == "__main__":
    main()
