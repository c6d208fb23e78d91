#!/usr/bin/python
# Burning the appliance serial or an OTP value, once.

DOCUMENTATION = r'''
module: mif_serial
short_description: Burns an appliance's serial number or an OTP value
description:
  - Writes the appliance serial (I(target=serial)) or one of the two OTP values (I(target=pedeu), I(target=feean))
    with C(MCH_SET_SERIAL), and reads it back.
  - Idempotent. The same value already set is C(ok). A different value already set fails, with the daemon's text
    where the daemon is asked (OTP values); an appliance serial is overwritten only with I(force=true) and a key
    whose level allows it.
  - A burn is reported as a change only once the appliance reads back the value asked for; an ACK followed by
    another value read back fails the task.
  - Check mode reads the current value and says what would be burnt; it never writes.
extends_documentation_fragment: mif.appliance.connection
options:
  value:
    description: The number to burn (17 digits with its check digit for the appliance serial).
    type: str
    required: true
  target:
    description: What to burn.
    type: str
    choices: [serial, pedeu, feean]
    default: serial
  force:
    description: Overwrite an appliance serial that is already set to another value (level-5 keys only).
    type: bool
    default: false
'''

EXAMPLES = r'''
- name: Give the appliance its serial number
  mif.appliance.mif_serial:
    host: "{{ mif_host }}"
    key: /etc/mif/keys/line-production.pem
    value: "{{ mif_serial }}"
'''

RETURN = r'''
answer:
  description: The daemon's answer to the burn.
  returned: when burnt
  type: str
  sample: ACK
previous:
  description: The value before (0 when none was set; 18446744073709551615 for an unreadable OTP value).
  returned: always
  type: str
value:
  description: The value the appliance holds after the task (in check mode, the value it would hold).
  returned: success
  type: str
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.mif.appliance.plugins.module_utils.mif_common import argument_spec, run_module

PREFIX = {"serial": "", "pedeu": "PEDEU", "feean": "FEEAN"}


def burn(module, session):
    p = module.params
    target = PREFIX[p["target"]]
    if not p["value"].isdigit():
        module.fail_json(msg=f"value must be a decimal number, not {p['value']!r}")
    wanted = int(p["value"])
    current = session.identity_value(target)
    result = dict(previous=str(current), value=str(wanted))
    if current == wanted:
        return dict(result, changed=False, msg=f"{p['target']} is already {wanted}")
    if target == "" and current != 0 and not p["force"]:
        module.fail_json(msg=f"the appliance serial is already {current}; not overwritten with {wanted} "
                             "(force=true overwrites it with a level-5 key)", **result)
    if module.check_mode:
        return dict(result, changed=True, msg=f"would burn {p['target']} {wanted} (now {current})")
    answer = session.command("MCH_SET_SERIAL", f"{target}:{wanted}" if target else str(wanted))
    result["answer"] = answer.text
    if answer.nak:
        module.fail_json(msg=f"MCH_SET_SERIAL: {answer.text}", **result)
    after = session.identity_value(target)
    if after != wanted:
        module.fail_json(msg=f"the daemon answered {answer.text} but the appliance reads back {after}, "
                             f"not {wanted}", **dict(result, value=str(after)))
    return dict(result, changed=True, msg=f"burnt {p['target']} {wanted}")


def main():
    module = AnsibleModule(argument_spec=argument_spec(
        value=dict(type="str", required=True),
        target=dict(type="str", choices=list(PREFIX), default="serial"),
        force=dict(type="bool", default=False)),
        supports_check_mode=True)
    run_module(module, burn)


if __name__ == "__main__":
    main()
