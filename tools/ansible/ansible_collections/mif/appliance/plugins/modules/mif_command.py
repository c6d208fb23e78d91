#!/usr/bin/python
# Any plain command of the daemon.

DOCUMENTATION = r'''
module: mif_command
short_description: Sends one command to an appliance
description:
  - Sends one plain command by the daemon's name (C(MCH_SET_HEATING)) or index, with an optional argument text.
  - The daemon cannot say whether a command changed anything, so the task reports C(changed) as
    the caller declares it with I(changed).
  - "In check mode nothing is sent (the command might change the appliance); a task that only reads can say
    C(check_mode: false)."
extends_documentation_fragment: mif.appliance.connection
options:
  command:
    description: The command's name as the daemon spells it, or its index.
    type: str
    required: true
  arg:
    description: The argument text; without it the request carries no payload.
    type: str
  changed:
    description: Whether the task counts as a change when the daemon accepts the command.
    type: bool
    default: false
  fail_on_nak:
    description: Whether an answer beginning with NAK fails the task.
    type: bool
    default: true
'''

EXAMPLES = r'''
- name: Switch the heater on
  mif.appliance.mif_command:
    host: "{{ mif_host }}"
    role: testlab
    command: MCH_SET_HEATING
    arg: "ON"
    changed: true

- name: Read the tare value, also in check mode
  mif.appliance.mif_command:
    host: "{{ mif_host }}"
    role: service
    command: MCH_GET_TARA
  check_mode: false
  register: tara
'''

RETURN = r'''
answer:
  description: The daemon's answer text.
  returned: when sent
  type: str
  sample: ACK
nak:
  description: Whether the answer is a NAK.
  returned: when sent
  type: bool
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.mif.appliance.plugins.module_utils.mif_common import argument_spec, run_module


def send(module, session):
    p = module.params
    name = int(p["command"]) if p["command"].isdigit() else p["command"]
    if module.check_mode:
        return dict(changed=p["changed"], msg=f"{p['command']} not sent in check mode")
    answer = session.command(name, p["arg"])
    if answer.nak and p["fail_on_nak"]:
        module.fail_json(msg=f"{answer.command}: {answer.text}", answer=answer.text, nak=True)
    return dict(changed=p["changed"] and not answer.nak, answer=answer.text, nak=answer.nak)


def main():
    module = AnsibleModule(argument_spec=argument_spec(
        command=dict(type="str", required=True), arg=dict(type="str"),
        changed=dict(type="bool", default=False), fail_on_nak=dict(type="bool", default=True)),
        supports_check_mode=True)
    run_module(module, send)


if __name__ == "__main__":
    main()
